// What a simulated Tarvex device answers and when, without any I/O: the options of its
// behaviour, the reply to each command and the timing plan of a reply on the wire.
#ifndef TARVEX_SIM_RESPONDER_H_
#define TARVEX_SIM_RESPONDER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tarvexsim {

// Reply bytes of the firmware handshake.
constexpr unsigned char kFinish = 0x10;
constexpr unsigned char kNext = 0x11;
constexpr unsigned char kResend = 0x22;
constexpr unsigned char kReject = 0x31;

// Which update pass the line faults (and the opening reply) apply to.
enum class PassFilter { kBoth, kTest, kFlash };

struct Options {
    // Text of the answer to "UTID\r"; a CR is appended.
    std::string identity = "TARVEX-7310 V2.10";
    // Command text (without its CR) -> exact reply bytes, sent as given (no CR added). Wins over
    // the built-in table and the opening commands; an empty reply means no answer.
    std::map<std::string, std::string> replies;

    bool silent = false;           // never answer
    int trickle_ms = 0;            // > 0: send replies one byte at a time, this far apart
    bool trickle_forever = false;  // answer every command with fill bytes, one per trickle gap
    bool split = false;            // send replies in two pieces
    int split_ms = 50;             // pause between the two pieces
    int split_at = 0;              // bytes in the first piece; 0: half the reply
    bool flood = false;            // answer every command with fill bytes as fast as they go
    unsigned char fill = '#';      // byte of the endless streams; never CR
    bool wire_time = false;        // delay replies by the 9600 8N1 time of command + reply
    bool wire_pace = false;        // also space reply bytes by one byte time (implies wire_time)
    // The port keeps what its user left unread and what arrived while it was closed, and every
    // reply goes out whole, as on a port whose far end stays open.
    bool keep_unread = false;
    // With split: the second piece goes out only once the port's user has closed the port.
    bool rest_after_close = false;

    // Firmware handshake faults. Line numbers count from 1 within a pass; resends do not count.
    int open_reply = kNext;       // answer to "UPDT Test\r"/"UPDT Flash\r"; 0x11 opens a pass
    std::map<int, int> resends;   // line -> number of 0x22 answers before the real one
    std::map<int, int> reply_at;  // line -> byte answered instead of 0x11/0x10 (after resends)
    int silent_after = 0;         // > 0: answer nothing after this line
    int vanish_after = 0;         // > 0: disappear after answering this line
    PassFilter fault_pass = PassFilter::kBoth;
    // A BREAK instead of the reply to this command (text without its CR) or to this line.
    std::string break_command;
    int break_line = 0;

    // The random device (chaos.h): every exchange draws its behaviour from this seed; the
    // options above but the identity then have no effect.
    bool chaos = false;
    std::uint64_t chaos_seed = 0;
    bool chaos_serial = false;  // BREAK among the draws: the device serves a serial port
};

// One piece of a reply, written at `at` after the command's CR arrived.
struct Piece {
    std::chrono::nanoseconds at;
    std::string bytes;
};

// Time of `bytes` bytes on a 9600-baud 8N1 line (10 bits a byte).
std::chrono::nanoseconds WireTime(std::size_t bytes);

// When each part of `reply` goes out, given the options' trickle, split and wire settings.
// Consecutive bytes due at the same time form one piece; an empty reply gives no pieces.
std::vector<Piece> PlanReply(const std::string& reply, std::size_t command_len,
                             const Options& options);

enum class Stream { kNone, kFlood, kTrickle };

// What the device does about one command.
struct Response {
    bool answer = false;  // false: say nothing
    std::string reply;    // when answering without a stream
    Stream stream = Stream::kNone;
    bool vanish = false;      // disappear once the reply has been taken
    bool line_break = false;  // send a BREAK instead of the reply
    // The random device's timing: the reply after this long, in pieces this far apart, or
    // held until the port's user has closed the port.
    int delay_ms = 0;
    int gap_ms = 0;
    bool late = false;
    // The random device's account of this exchange: "<n>\t<draw>\t<command>\t<verdict>".
    std::string account;
};

// The device's behaviour without any I/O: feed it each command (bytes up to and including
// the CR) in order of arrival.
class Responder {
  public:
    explicit Responder(Options options = Options());
    Response Handle(const std::string& command);
    const Options& options() const { return options_; }

  private:
    Response Line(const std::string& text);
    Response Chaos(const std::string& text);
    bool FaultsApply() const;

    Options options_;
    int pass_ = 0;  // 0 none, 1 test pass, 2 flash pass
    int line_ = 0;
    int attempt_ = 0;
    bool last_was_resend_ = false;
    bool silenced_ = false;
    int exchanges_ = 0;
    bool gone_ = false;
};

}  // namespace tarvexsim

#endif  // TARVEX_SIM_RESPONDER_H_

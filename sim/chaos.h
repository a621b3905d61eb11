// The random device: each exchange draws its behaviour from a seed and the exchange's number,
// so the same seed gives the same device, byte for byte, whatever the commands' timing.
#ifndef TARVEX_SIM_CHAOS_H_
#define TARVEX_SIM_CHAOS_H_

#include <cstdint>
#include <string>

namespace tarvexsim {

enum class Fault {
    kRight,    // the right reply at once
    kDelay,    // the right reply after delay_ms, 50 to 1400 (well inside morva's 2 s receive)
    kPieces,   // the right reply in pieces, gap_ms apart (a byte reply comes after one gap)
    kResend,   // 0x22 to a line or an opening command; the right reply to other commands
    kOther,    // the other code: 0x10 and 0x11 swapped for a line, 0x31 to an opening, "1\r"
    kWrong,    // `byte` to a line or an opening; an identity without a model to other commands
    kNoise,    // `byte` before the right reply
    kNoCr,     // a reply string without its CR; the right reply byte
    kSilence,  // no reply
    kLate,     // the right reply, held until the port's user has closed the port
    kFlood,    // fill bytes without end
    kVanish,   // the right reply, then the device disappears
    kBreak,    // a BREAK instead of the reply (only drawn on a serial port)
};

struct Draw {
    Fault fault = Fault::kRight;
    int delay_ms = 0;
    int gap_ms = 0;
    unsigned char byte = 0;
};

// The draw of exchange `exchange` (1 for the device's first command) of the device `seed`.
// The seed also decides how often the device misbehaves, from never to every few exchanges.
Draw DrawExchange(std::uint64_t seed, int exchange, bool serial);

const char* FaultName(Fault fault);
// "<name> delay=<ms> gap=<ms> byte=<hex>": one line of --draws and of the account.
std::string DescribeDraw(const Draw& draw);

}  // namespace tarvexsim

#endif  // TARVEX_SIM_CHAOS_H_

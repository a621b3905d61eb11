// The simulated device on a pseudo-terminal whose slave side is published as <dir>/com<n>, or
// on an existing serial port, served by its own thread, for demos and end-to-end tests of
// morva. The port side lives in device_posix.cpp (Linux) and device_win.cpp (Windows).
#ifndef TARVEX_SIM_DEVICE_H_
#define TARVEX_SIM_DEVICE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "responder.h"

namespace tarvexsim {

// A simulated device on its own pseudo-terminal and serving thread. Thread-safe.
class Device {
  public:
    Device(std::string dir, int port, Options options = Options());
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Creates the pty (slave raw 9600 8N1, no echo), publishes <dir>/com<port> (replacing any
    // stale entry that is not a folder) and starts serving. False with a message on failure,
    // also when another device already serves that port of that folder.
    bool Start(std::string* error);
    // Opens the existing serial port `path` (a tty on Linux, COM4 or \\.\COM4 on Windows),
    // takes it from every other program, sets 9600 8N1 raw without flow control and starts
    // serving; no link is made. False with a message on failure.
    bool StartOnSerial(const std::string& path, std::string* error);
    // Stops serving, closes the port and removes the link if it still points at this device.
    void Stop();

    int port() const { return port_; }
    std::string link_path() const;
    // The pty's slave, or the serial port that the device serves.
    std::string slave_path() const { return slave_path_; }
    // True once the device has disappeared (vanish_after): link removed and pty closed.
    bool vanished() const { return vanished_; }

    // Replaces the behaviour from the next command on, with fresh handshake state.
    void SetOptions(const Options& options);
    Options options() const;

    // Commands received so far, each the exact bytes up to and including its CR.
    std::vector<std::string> Commands() const;
    void ClearCommands();

    // Receives one line per command and reply (e.g. for a log file), from the serving thread.
    void SetLogger(std::function<void(const std::string&)> logger);
    // Receives the random device's account line of each exchange, before its reply goes out.
    void SetAccount(std::function<void(const std::string&)> account);

  private:
    struct Timed {
        std::chrono::steady_clock::time_point at;
        std::string bytes;
        bool line_break = false;  // a BREAK instead of bytes
    };

    void BeginServing();
    void Serve();
    void OnBytes(const char* data, std::size_t len);
    void OnCommand(const std::string& command);
    void PlanChaos(const Response& r, std::chrono::steady_clock::time_point now);
    void DropOutput();
    bool WriteDue(std::chrono::steady_clock::time_point now, bool* blocked);
    // Platform side: bytes handed to the port (0 when it takes none now, -1 on a fatal error),
    // a BREAK, and the drop of what the port's user did not read.
    long WritePort(const char* bytes, std::size_t count);
    void SendBreak();
    void FlushPeerInput();
    void Log(const std::string& line);
    void RemoveLink();
    void ClosePty();
    bool Claim(std::string* error);
    void DropOnClose();

    const std::string dir_;
    const int port_;
    std::string slave_path_;
    int master_ = -1;
    int slave_ = -1;
    int wake_ = -1;
    int closes_ = -1;      // inotify: others' closes of the slave
    int claim_ = -1;       // flock on <dir>/.com<port>.lock, or on the serial port's lock file
    void* com_ = nullptr;  // Windows: the COM port
    bool serial_ = false;  // on an existing serial port rather than a pty
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> vanished_{false};

    mutable std::mutex mu_;  // guards responder_, commands_, logger_, account_
    Responder responder_;
    std::vector<std::string> commands_;
    std::function<void(const std::string&)> logger_;
    std::function<void(const std::string&)> account_;

    // Serving thread only.
    std::string rx_;
    std::vector<Timed> out_;
    std::size_t out_off_ = 0;  // bytes of out_.front() already written
    Stream stream_ = Stream::kNone;
    std::chrono::steady_clock::time_point stream_next_;
    std::chrono::nanoseconds trickle_gap_{0};
    unsigned char fill_ = '#';
    bool vanish_pending_ = false;
    bool vanish_seen_ = false;
    std::chrono::steady_clock::time_point vanish_deadline_;
};

}  // namespace tarvexsim

#endif  // TARVEX_SIM_DEVICE_H_

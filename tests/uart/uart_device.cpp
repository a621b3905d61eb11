// The device on the host side of a QEMU guest's serial port: connects to the port's telnet-mode
// unix socket and answers through the simulator's reply planner. Usage:
//   uart_device <socket> <log>
// The guest switches the behaviour in band: the command "RIG <tag> <mode> [<ms or line>]"
// is answered "OK\r" and starts a new mode; every later command is logged as "<tag> rx <bytes>"
// (escaped) until the next one. Modes: "normal", "silent", "silent-once" (the first command
// gets no answer), "break-reply" (a BREAK instead of the first reply), "break-later <ms>" (a
// BREAK that long after the OK), "stop-after <line>" (no answer after that firmware line),
// "keep" (the mode as it stands, under the new tag).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "engine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kIac = 0xFF;
constexpr unsigned char kBreak = 0xF3;
constexpr unsigned char kSubBegin = 0xFA;
constexpr unsigned char kSubEnd = 0xF0;
constexpr unsigned char kWill = 0xFB;
constexpr unsigned char kDont = 0xFE;

// Telnet receive state: QEMU opens with option negotiation, which carries no data.
enum class Telnet { kData, kIac, kOption, kSub, kSubIac };

struct Rig {
    int sock = -1;
    std::FILE* log = nullptr;
    std::string tag = "-";
    std::string mode = "normal";
    bool armed = false;  // the once-modes have not fired yet
    bool break_due = false;
    Clock::time_point break_at;
    tarvexsim::Responder responder;
    Telnet telnet = Telnet::kData;
    std::string command;
};

bool SendRaw(int sock, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(sock, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Data bytes go out with 0xFF doubled, as telnet requires.
bool SendData(int sock, const std::string& data) {
    std::string escaped;
    for (char c : data) {
        escaped += c;
        if (static_cast<unsigned char>(c) == kIac) {
            escaped += c;
        }
    }
    return SendRaw(sock, escaped);
}

bool SendBreak(Rig* rig) {
    std::fprintf(rig->log, "%s break\n", rig->tag.c_str());
    return SendRaw(rig->sock, std::string{static_cast<char>(kIac), static_cast<char>(kBreak)});
}

bool StartMode(Rig* rig, const std::string& text) {
    std::istringstream words(text);
    std::string rig_word;
    std::string tag;
    std::string mode;
    int number = 0;
    words >> rig_word >> tag >> mode >> number;
    tarvexsim::Options options;
    if (mode == "silent") {
        options.silent = true;
    } else if (mode == "stop-after") {
        options.silent_after = number;
    } else if (mode != "normal" && mode != "silent-once" && mode != "break-reply" &&
               mode != "break-later" && mode != "keep") {
        std::fprintf(rig->log, "%s unknown mode %s\n", tag.c_str(), mode.c_str());
        return SendData(rig->sock, "BAD\r");
    }
    rig->tag = tag;
    std::fprintf(rig->log, "%s mode %s\n", tag.c_str(), mode.c_str());
    if (mode != "keep") {
        rig->mode = mode;
        rig->armed = true;
        rig->responder = tarvexsim::Responder(options);
    }
    rig->break_due = mode == "break-later";
    rig->break_at = Clock::now() + std::chrono::milliseconds(number);
    return SendData(rig->sock, "OK\r");
}

bool OnCommand(Rig* rig, const std::string& command) {
    if (command.rfind("RIG ", 0) == 0) {
        return StartMode(rig, command.substr(0, command.size() - 1));
    }
    std::fprintf(rig->log, "%s rx %s\n", rig->tag.c_str(), tarvexsim::Escape(command).c_str());
    const bool once = rig->armed && (rig->mode == "silent-once" || rig->mode == "break-reply");
    const tarvexsim::Response response = rig->responder.Handle(command);
    if (once) {
        rig->armed = false;
        return rig->mode == "break-reply" ? SendBreak(rig) : true;
    }
    return !response.answer || SendData(rig->sock, response.reply);
}

bool OnByte(Rig* rig, unsigned char byte) {
    switch (rig->telnet) {
        case Telnet::kData:
            if (byte == kIac) {
                rig->telnet = Telnet::kIac;
                return true;
            }
            break;
        case Telnet::kIac:
            if (byte == kIac) {
                rig->telnet = Telnet::kData;
                break;
            }
            rig->telnet = byte == kSubBegin                  ? Telnet::kSub
                          : (byte >= kWill && byte <= kDont) ? Telnet::kOption
                                                             : Telnet::kData;
            return true;
        case Telnet::kOption:
            rig->telnet = Telnet::kData;
            return true;
        case Telnet::kSub:
            rig->telnet = byte == kIac ? Telnet::kSubIac : Telnet::kSub;
            return true;
        case Telnet::kSubIac:
            rig->telnet = byte == kSubEnd ? Telnet::kData : Telnet::kSub;
            return true;
    }
    rig->command += static_cast<char>(byte);
    if (byte != '\r') {
        return true;
    }
    const std::string command = rig->command;
    rig->command.clear();
    const bool sent = OnCommand(rig, command);
    std::fflush(rig->log);
    return sent;
}

int Connect(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        return -1;
    }
    std::strcpy(address.sun_path, path);
    // QEMU creates the socket a moment after it starts.
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock >= 0 &&
            connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return sock;
        }
        if (sock >= 0) {
            close(sock);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: uart_device <socket> <log>\n");
        return 2;
    }
    Rig rig;
    rig.log = std::fopen(argv[2], "w");
    if (rig.log == nullptr) {
        std::perror(argv[2]);
        return 1;
    }
    rig.sock = Connect(argv[1]);
    if (rig.sock < 0) {
        std::fprintf(stderr, "uart_device: cannot connect to %s\n", argv[1]);
        return 1;
    }
    while (true) {
        int timeout = -1;
        if (rig.break_due) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(rig.break_at - Clock::now());
            timeout = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd readable{rig.sock, POLLIN, 0};
        const int ready = poll(&readable, 1, timeout);
        if (ready == 0) {
            rig.break_due = false;
            if (!SendBreak(&rig)) {
                break;
            }
            std::fflush(rig.log);
            continue;
        }
        unsigned char buffer[512];
        const ssize_t n = ready < 0 ? -1 : read(rig.sock, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // the guest powered off
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (!OnByte(&rig, buffer[i])) {
                return 1;
            }
        }
    }
    std::fclose(rig.log);
    return 0;
}

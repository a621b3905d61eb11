// The device at the far end of the rig's serial links: answers through the simulator's reply
// planner on every link it is given. Usage:
//   uart_device <log> <link>...
// A link is "telnet:<socket>" (a QEMU guest's UART behind a telnet-mode unix socket),
// "raw:<socket>" (QEMU's emulated FT232: plugged in while the socket is connected) or
// "tty:<tty>:<udc file>" (the device side of a USB gadget in the guest; writing the UDC file
// unplugs and replugs it). Links are numbered from 0 in the order given.
// The guest switches a link's behaviour in band: the command "RIG <tag> <mode> [<number>]"
// is answered "OK\r" and starts a new mode; every later command is logged as "<tag> rx <bytes>"
// (escaped) until the next one. Modes: "normal", "silent", "silent-once" (the first command
// gets no answer), "break-reply" (a BREAK instead of the first reply), "break-later <ms>" (a
// BREAK that long after the OK), "stop-after <line>" (no answer after that firmware line),
// "pull-reply" (half of the first reply, then the link is unplugged), "pull-after <line>" (the
// link is unplugged instead of answering the line after that one), "keep" (the mode as it
// stands, under the new tag). "RIG <tag> pull <link>" and "RIG <tag> plug <link>" unplug and
// replug another link at once and change nothing else.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kIac = 0xFF;
constexpr unsigned char kBreak = 0xF3;
constexpr unsigned char kSubBegin = 0xFA;
constexpr unsigned char kSubEnd = 0xF0;
constexpr unsigned char kWill = 0xFB;
constexpr unsigned char kDont = 0xFE;
constexpr int kRetryMs = 50;

enum class Kind { kTelnet, kRaw, kTty };

// Telnet receive state: QEMU opens with option negotiation, which carries no data.
enum class Telnet { kData, kIac, kOption, kSub, kSubIac };

struct Link {
    Kind kind = Kind::kTelnet;
    std::string path;
    std::string udc;  // the gadget's UDC file (tty links)
    int fd = -1;
    bool plugged = true;
    std::string tag = "-";
    std::string mode = "normal";
    bool armed = false;  // the once-modes have not fired yet
    bool break_due = false;
    Clock::time_point break_at;
    tarvexsim::Responder responder;
    Telnet telnet = Telnet::kData;
    std::string command;
};

struct Rig {
    std::FILE* log = nullptr;
    std::vector<Link> links;
};

bool SendRaw(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// On a telnet link data bytes go out with 0xFF doubled, as telnet requires.
bool SendData(const Link& link, const std::string& data) {
    if (link.kind != Kind::kTelnet) {
        return SendRaw(link.fd, data);
    }
    std::string escaped;
    for (char c : data) {
        escaped += c;
        if (static_cast<unsigned char>(c) == kIac) {
            escaped += c;
        }
    }
    return SendRaw(link.fd, escaped);
}

bool SendBreak(Rig* rig, Link* link) {
    std::fprintf(rig->log, "%s break\n", link->tag.c_str());
    if (link->kind == Kind::kTty) {
        return tcsendbreak(link->fd, 0) == 0;
    }
    return SendRaw(link->fd, std::string{static_cast<char>(kIac), static_cast<char>(kBreak)});
}

int ConnectOnce(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        return -1;
    }
    std::strcpy(address.sun_path, path);
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock >= 0 &&
        connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return sock;
    }
    if (sock >= 0) {
        close(sock);
    }
    return -1;
}

// The gadget's tty is hung up at every unplug and can be opened again at once.
int OpenTty(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (fd >= 0 && tcgetattr(fd, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
    }
    return fd;
}

// QEMU creates its sockets a moment after it starts.
int Attach(const Link& link) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd =
            link.kind == Kind::kTty ? OpenTty(link.path.c_str()) : ConnectOnce(link.path.c_str());
        if (fd >= 0) {
            return fd;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
    }
    return -1;
}

bool WriteUdc(const Link& link, const char* text) {
    std::FILE* udc = std::fopen(link.udc.c_str(), "w");
    if (udc == nullptr) {
        return false;
    }
    const bool written = std::fputs(text, udc) >= 0;
    return std::fclose(udc) == 0 && written;
}

// A socket link stays unplugged until it is plugged again; a gadget's tty is reopened at once,
// ready for the next plug.
bool Pull(Rig* rig, Link* link) {
    std::fprintf(rig->log, "%s pulled\n", link->tag.c_str());
    link->telnet = Telnet::kData;
    link->command.clear();
    link->break_due = false;
    if (link->kind != Kind::kTty) {
        close(link->fd);
        link->fd = -1;
        link->plugged = false;
        return true;
    }
    return WriteUdc(*link, "\n");
}

bool Plug(Link* link) {
    if (link->kind == Kind::kTty) {
        return WriteUdc(*link, "dummy_udc.0\n");
    }
    if (link->plugged) {
        return true;
    }
    link->fd = Attach(*link);
    link->plugged = link->fd >= 0;
    return link->plugged;
}

bool PlugAction(Rig* rig, const std::string& action, std::size_t index) {
    if (index >= rig->links.size()) {
        return false;
    }
    Link* target = &rig->links[index];
    return action == "pull" ? Pull(rig, target) : Plug(target);
}

bool StartMode(Rig* rig, Link* link, const std::string& text) {
    std::istringstream words(text);
    std::string rig_word;
    std::string tag;
    std::string mode;
    int number = 0;
    words >> rig_word >> tag >> mode >> number;
    if (mode == "pull" || mode == "plug") {
        const bool done = PlugAction(rig, mode, static_cast<std::size_t>(number));
        std::fprintf(rig->log, "%s %s %d%s\n", tag.c_str(), mode.c_str(), number,
                     done ? "" : " failed");
        return SendData(*link, done ? "OK\r" : "BAD\r");
    }
    tarvexsim::Options options;
    if (mode == "silent") {
        options.silent = true;
    } else if (mode == "stop-after" || mode == "pull-after") {
        options.silent_after = number;
    } else if (mode != "normal" && mode != "silent-once" && mode != "break-reply" &&
               mode != "break-later" && mode != "pull-reply" && mode != "keep") {
        std::fprintf(rig->log, "%s unknown mode %s\n", tag.c_str(), mode.c_str());
        return SendData(*link, "BAD\r");
    }
    link->tag = tag;
    std::fprintf(rig->log, "%s mode %s\n", tag.c_str(), mode.c_str());
    if (mode != "keep") {
        link->mode = mode;
        link->armed = true;
        link->responder = tarvexsim::Responder(options);
    }
    link->break_due = mode == "break-later";
    link->break_at = Clock::now() + std::chrono::milliseconds(number);
    return SendData(*link, "OK\r");
}

bool OnCommand(Rig* rig, Link* link, const std::string& command) {
    if (command.rfind("RIG ", 0) == 0) {
        return StartMode(rig, link, command.substr(0, command.size() - 1));
    }
    std::fprintf(rig->log, "%s rx %s\n", link->tag.c_str(), tarvexsim::Escape(command).c_str());
    const bool once = link->armed && (link->mode == "silent-once" || link->mode == "break-reply" ||
                                      link->mode == "pull-reply");
    const tarvexsim::Response response = link->responder.Handle(command);
    if (once) {
        link->armed = false;
        if (link->mode == "pull-reply") {
            return SendData(*link, response.reply.substr(0, response.reply.size() / 2)) &&
                   Pull(rig, link);
        }
        return link->mode == "break-reply" ? SendBreak(rig, link) : true;
    }
    if (!response.answer && link->mode == "pull-after") {
        return Pull(rig, link);
    }
    return !response.answer || SendData(*link, response.reply);
}

// Returns false when the link cannot go on; a data byte completes a command at its CR.
bool OnByte(Rig* rig, Link* link, unsigned char byte) {
    if (link->kind == Kind::kTelnet) {
        switch (link->telnet) {
            case Telnet::kData:
                if (byte == kIac) {
                    link->telnet = Telnet::kIac;
                    return true;
                }
                break;
            case Telnet::kIac:
                if (byte == kIac) {
                    link->telnet = Telnet::kData;
                    break;
                }
                link->telnet = byte == kSubBegin                  ? Telnet::kSub
                               : (byte >= kWill && byte <= kDont) ? Telnet::kOption
                                                                  : Telnet::kData;
                return true;
            case Telnet::kOption:
                link->telnet = Telnet::kData;
                return true;
            case Telnet::kSub:
                link->telnet = byte == kIac ? Telnet::kSubIac : Telnet::kSub;
                return true;
            case Telnet::kSubIac:
                link->telnet = byte == kSubEnd ? Telnet::kData : Telnet::kSub;
                return true;
        }
    }
    link->command += static_cast<char>(byte);
    if (byte != '\r') {
        return true;
    }
    const std::string command = link->command;
    link->command.clear();
    const bool sent = OnCommand(rig, link, command);
    std::fflush(rig->log);
    return sent;
}

bool ParseLink(const std::string& text, Link* link) {
    const std::size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    if (colon == std::string::npos) {
        return false;
    }
    link->path = text.substr(colon + 1);
    if (kind == "telnet" || kind == "raw") {
        link->kind = kind == "raw" ? Kind::kRaw : Kind::kTelnet;
        return true;
    }
    const std::size_t second = link->path.find(':');
    if (kind != "tty" || second == std::string::npos) {
        return false;
    }
    link->kind = Kind::kTty;
    link->udc = link->path.substr(second + 1);
    link->path.resize(second);
    return true;
}

// Milliseconds until the next BREAK that a link has due; -1: none.
int NextBreakIn(const Rig& rig) {
    int timeout = -1;
    for (const Link& link : rig.links) {
        if (link.break_due) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(link.break_at - Clock::now());
            const int ms = static_cast<int>(std::max<long long>(0, left.count()));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
    }
    return timeout;
}

// Serves every plugged link until a socket link's far end goes away (the guest powered off).
int Serve(Rig* rig) {
    while (true) {
        std::vector<pollfd> ready;
        std::vector<Link*> polled;
        for (Link& link : rig->links) {
            if (link.fd >= 0) {
                ready.push_back(pollfd{link.fd, POLLIN, 0});
                polled.push_back(&link);
            }
        }
        if (poll(ready.data(), ready.size(), NextBreakIn(*rig)) < 0) {
            return 1;
        }
        for (Link& link : rig->links) {
            if (link.break_due && link.break_at <= Clock::now()) {
                link.break_due = false;
                if (!SendBreak(rig, &link)) {
                    return 1;
                }
                std::fflush(rig->log);
            }
        }
        for (std::size_t i = 0; i < ready.size(); ++i) {
            Link* link = polled[i];
            if (ready[i].revents == 0 || link->fd != ready[i].fd) {
                continue;
            }
            std::array<unsigned char, 512> buffer{};
            const ssize_t n = read(link->fd, buffer.data(), buffer.size());
            if (n <= 0 && link->kind != Kind::kTty) {
                return 0;
            }
            if (n <= 0) {
                close(link->fd);
                link->fd = Attach(*link);
                if (link->fd < 0) {
                    return 1;
                }
                continue;
            }
            for (ssize_t b = 0; b < n && link->fd == ready[i].fd; ++b) {
                if (!OnByte(rig, link, buffer[static_cast<std::size_t>(b)])) {
                    return 1;
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Rig rig;
    for (int i = 2; i < argc; ++i) {
        Link link;
        if (!ParseLink(argv[i], &link)) {
            argc = 0;
            break;
        }
        rig.links.push_back(link);
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: uart_device <log> telnet:<socket>|raw:<socket>|"
                     "tty:<tty>:<udc file>...\n");
        return 2;
    }
    rig.log = std::fopen(argv[1], "w");
    if (rig.log == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    for (Link& link : rig.links) {
        link.fd = Attach(link);
        if (link.fd < 0) {
            std::fprintf(stderr, "uart_device: cannot attach %s\n", link.path.c_str());
            return 1;
        }
    }
    const int code = Serve(&rig);
    std::fclose(rig.log);
    return code;
}

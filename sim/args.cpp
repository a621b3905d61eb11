#include "args.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "escape.h"

namespace tarvexsim {

namespace {

constexpr int kMaxPort = 9999;
constexpr int kMaxNumber = 1000000;

bool ParseInt(const std::string& text, int min, int max, int* value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool ParseSeed(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.size() > 20)
        return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = static_cast<std::uint64_t>(v);
    return true;
}

// One byte in hex: "31", "0x31", "0X1".
bool ParseHexByte(const std::string& text, int* value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2)
        return false;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    *value = static_cast<int>(std::strtol(digits.c_str(), nullptr, 16));
    return true;
}

// "LINE:VALUE" with LINE >= 1.
bool ParsePair(const std::string& text, bool hex_value, int* line, int* value) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    if (!ParseInt(text.substr(0, colon), 1, kMaxNumber, line))
        return false;
    const std::string rest = text.substr(colon + 1);
    return hex_value ? ParseHexByte(rest, value) : ParseInt(rest, 0, kMaxNumber, value);
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, Config* config, std::string* error) {
    Config c;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto bad = [&](const std::string& why) {
            *error = arg + ": " + why;
            return false;
        };
        // Options without a value.
        if (arg == "--help" || arg == "-h") {
            c.help = true;
            continue;
        }
        if (arg == "--silent") {
            c.options.silent = true;
            continue;
        }
        if (arg == "--trickle-forever") {
            c.options.trickle_forever = true;
            continue;
        }
        if (arg == "--split") {
            c.options.split = true;
            continue;
        }
        if (arg == "--flood") {
            c.options.flood = true;
            continue;
        }
        if (arg == "--wire-time") {
            c.options.wire_time = true;
            continue;
        }
        if (arg == "--wire-pace") {
            c.options.wire_time = true;
            c.options.wire_pace = true;
            continue;
        }
        if (arg == "--refuse") {
            c.options.open_reply = kReject;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-')
            return bad("unexpected argument");
        if (i + 1 >= args.size())
            return bad("needs a value");
        const std::string& value = args[++i];
        int n = 0;
        int m = 0;
        if (arg == "--dir") {
            if (value.empty())
                return bad("empty folder");
            c.dir = value;
        } else if (arg == "--port") {
            if (!ParseInt(value, 1, kMaxPort, &n))
                return bad("port number 1 to 9999 expected");
            for (int p : c.ports) {
                if (p == n)
                    return bad("port given twice");
            }
            c.ports.push_back(n);
        } else if (arg == "--identity") {
            if (!Unescape(value, &c.options.identity))
                return bad("bad escape");
        } else if (arg == "--reply") {
            const std::size_t eq = value.find('=');
            std::string command;
            std::string reply;
            if (eq == std::string::npos || !Unescape(value.substr(0, eq), &command) ||
                !Unescape(value.substr(eq + 1), &reply)) {
                return bad("COMMAND=REPLY expected");
            }
            c.options.replies[command] = reply;
        } else if (arg == "--trickle-ms") {
            if (!ParseInt(value, 1, kMaxNumber, &c.options.trickle_ms))
                return bad("milliseconds");
        } else if (arg == "--split-ms") {
            if (!ParseInt(value, 0, kMaxNumber, &c.options.split_ms))
                return bad("milliseconds");
        } else if (arg == "--split-at") {
            if (!ParseInt(value, 1, kMaxNumber, &c.options.split_at))
                return bad("byte count");
        } else if (arg == "--fill") {
            if (!ParseHexByte(value, &n) || n == '\r')
                return bad("hex byte other than 0D expected");
            c.options.fill = static_cast<unsigned char>(n);
        } else if (arg == "--open-reply") {
            if (!ParseHexByte(value, &c.options.open_reply))
                return bad("hex byte expected");
        } else if (arg == "--resend") {
            if (!ParsePair(value, false, &n, &m))
                return bad("LINE:COUNT expected");
            c.options.resends[n] = m;
        } else if (arg == "--reply-at") {
            if (!ParsePair(value, true, &n, &m))
                return bad("LINE:HEX expected");
            c.options.reply_at[n] = m;
        } else if (arg == "--silent-after") {
            if (!ParseInt(value, 1, kMaxNumber, &c.options.silent_after))
                return bad("line number");
        } else if (arg == "--vanish-after") {
            if (!ParseInt(value, 1, kMaxNumber, &c.options.vanish_after))
                return bad("line number");
        } else if (arg == "--fault-pass") {
            if (value == "both") {
                c.options.fault_pass = PassFilter::kBoth;
            } else if (value == "test") {
                c.options.fault_pass = PassFilter::kTest;
            } else if (value == "flash") {
                c.options.fault_pass = PassFilter::kFlash;
            } else {
                return bad("test, flash or both expected");
            }
        } else if (arg == "--serial") {
            if (value.empty())
                return bad("empty port name");
            c.serial = value;
        } else if (arg == "--break-on") {
            if (!Unescape(value, &c.options.break_command) || c.options.break_command.empty())
                return bad("command expected");
        } else if (arg == "--break-at") {
            if (!ParseInt(value, 1, kMaxNumber, &c.options.break_line))
                return bad("line number");
        } else if (arg == "--chaos") {
            if (!ParseSeed(value, &c.options.chaos_seed))
                return bad("not a seed (0 to 18446744073709551615)");
            c.options.chaos = true;
        } else if (arg == "--account") {
            if (value.empty())
                return bad("empty file name");
            c.account_path = value;
        } else if (arg == "--draws") {
            if (!ParseInt(value, 1, kMaxNumber, &c.draws))
                return bad("not a count of exchanges");
        } else if (arg == "--log") {
            if (value.empty())
                return bad("empty file name");
            c.log_path = value;
        } else {
            return bad("unknown option");
        }
    }
    if (!c.serial.empty())
        c.options.chaos_serial = true;
    if (c.draws > 0 && !c.options.chaos) {
        *error = "--draws needs --chaos";
        return false;
    }
    if (c.draws > 0 || c.help) {
        *config = c;
        return true;
    }
    if (!c.serial.empty()) {
        if (!c.dir.empty() || !c.ports.empty()) {
            *error = "--serial takes no --dir or --port";
            return false;
        }
    } else {
        if (!c.options.break_command.empty() || c.options.break_line > 0) {
            *error = "--break-on and --break-at need --serial: a pseudo-terminal has no BREAK";
            return false;
        }
        if (c.dir.empty()) {
            *error = "--dir is required";
            return false;
        }
        if (c.ports.empty()) {
            *error = "at least one --port is required";
            return false;
        }
    }
    *config = c;
    return true;
}

std::string Usage() {
    return "Usage: tarvex-sim --dir DIR --port N [--port N ...] [options]\n"
           "       tarvex-sim --serial PORT [options]\n"
           "Plays a Tarvex device on a pseudo-terminal per port and publishes its slave as\n"
           "DIR/com<N> (a ports folder for morva, or a Wine prefix's dosdevices folder).\n"
           "Prints 'tarvex-sim: COM<N> -> <slave>' per device once ready; runs until SIGINT or\n"
           "SIGTERM and removes its links on exit. All devices share the options below.\n"
           "With --serial, plays one device on an existing serial port instead (9600 8N1 raw,\n"
           "no flow control), held against every other program; prints\n"
           "'tarvex-sim: serving PORT' once ready. No link is made.\n"
           "\n"
           "  --dir DIR             folder for the com<N> links (required without --serial)\n"
           "  --port N              COM port number, 1 to 9999 (required without --serial,\n"
           "                        repeatable)\n"
           "  --serial PORT         the serial port to serve: a tty such as /dev/ttyUSB1 on\n"
           "                        Linux, COM4 or \\\\.\\COM4 on Windows\n"
           "  --identity TEXT       answer to UTID, CR appended (default \"TARVEX-7310 V2.10\")\n"
           "  --reply CMD=REPLY     answer CMD (given without its CR) with exactly REPLY; no CR\n"
           "                        is added; an empty REPLY means no answer (repeatable)\n"
           "  --silent              never answer\n"
           "  --trickle-ms N        send replies one byte at a time, N ms apart\n"
           "  --trickle-forever     answer with fill bytes, one per trickle gap (default 15\n"
           "                        ms), never a CR, until the next command\n"
           "  --split               send replies in two pieces\n"
           "  --split-ms N          pause between the pieces (default 50)\n"
           "  --split-at N          bytes in the first piece (default half the reply)\n"
           "  --flood               answer with fill bytes without end, until the next command\n"
           "  --fill HEX            byte of --flood and --trickle-forever (default 23, '#')\n"
           "  --wire-time           delay replies by the 9600-baud 8N1 time of command + reply\n"
           "  --wire-pace           as --wire-time, and send reply bytes one byte time apart\n"
           "Firmware handshake (lines count from 1 after each UPDT Test / UPDT Flash; resends\n"
           "do not count):\n"
           "  --refuse              answer the opening command with 31 (same as --open-reply 31)\n"
           "  --open-reply HEX      answer the opening command with this byte (default 11)\n"
           "  --resend LINE:COUNT   answer line LINE with 22 COUNT times first (repeatable)\n"
           "  --reply-at LINE:HEX   answer line LINE with this byte, after any resends\n"
           "                        (repeatable)\n"
           "  --silent-after LINE   answer nothing after line LINE\n"
           "  --vanish-after LINE   after answering line LINE remove the link and close the pty\n"
           "  --fault-pass WHICH    test, flash or both (default): the pass these faults and\n"
           "                        --open-reply apply to\n"
           "BREAK (with --serial only: a pseudo-terminal has none):\n"
           "  --break-on CMD        send a BREAK instead of the reply to CMD (without its CR)\n"
           "  --break-at LINE       send a BREAK instead of the reply to line LINE\n"
           "Random device (see man tarvex-sim, RANDOM DEVICE):\n"
           "  --chaos SEED          each exchange draws its behaviour from SEED (0 to\n"
           "                        18446744073709551615) and the exchange's number: the\n"
           "                        same seed, the same device, byte for byte\n"
           "  --account FILE        append one line per exchange to FILE: its number, the\n"
           "                        draw, the command and what the device took\n"
           "  --draws N             print the first N draws of --chaos SEED and exit (add\n"
           "                        --serial PORT for the draws on a serial port)\n"
           "Other:\n"
           "  --log FILE            append every command and reply to FILE\n"
           "  --help                this text\n"
           "TEXT, CMD and REPLY take the escapes \\r \\n \\t \\0 \\\\ and \\xHH. HEX is one byte,\n"
           "e.g. 31 or 0x31. Built-in answers: UTID -> identity, VERS -> \"V2.10\\r\",\n"
           "STAT -> \"0\\r\", anything else -> \"1\\r\"; UPDT lines -> 11, the S9 line -> 10.\n";
}

}  // namespace tarvexsim

#include "settings/port_setting.h"

#include <array>
#include <cstring>

#include "common/console.h"
#include "common/exit_codes.h"
#include "common/platform.h"
#include "common/product.h"
#include "common/text.h"
#include "common/verbose.h"
#include "record/run_record.h"
#include "settings/ini_path.h"
#include "settings/profile.h"

namespace morva {
namespace {

constexpr char kSettingsExtension[] = "ini";
constexpr char kPortKey[] = "port";  // in the section named like the program
constexpr int kMissingPort = -1;
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 256;
constexpr std::size_t kPortTextSize = 258;  // a command text of 257 characters and the terminator

}  // namespace

int ReadPortSetting(const char* programPath) {
    std::array<char, kSettingsPathBytes> settingsPath{};
    if (FindIniPath(programPath, kProgramName, kSettingsExtension, settingsPath.data()) == 0 ||
        !FileExists(settingsPath.data())) {
        return 0;
    }
    if (GetVerboseLevel() >= 1) {
        std::array<char, kPathTextSize> shown{};
        Print("ini file : %s\n", ShownPath(settingsPath.data(), shown.data()));
    }
    return ReadProfileInt(kProgramName, kPortKey, kMissingPort, settingsPath.data());
}

void WritePortSetting(const char* programPath, const char* portText) {
    std::array<char, kSettingsPathBytes> settingsPath{};
    // Without the executable's folder there is no file to name in the trace, nor to write:
    // like the read, the store then stays silent.
    if (FindIniPath(programPath, kProgramName, kSettingsExtension, settingsPath.data()) == 0) {
        return;
    }
    if (GetVerboseLevel() >= 1) {
        std::array<char, kPathTextSize> shown{};
        Print("ini file : %s\n", ShownPath(settingsPath.data(), shown.data()));
    }
    // One line per key: the text is stored up to its first CR or LF. The front end's length
    // check keeps the word within a command text.
    std::array<char, kPortTextSize> line{};
    const std::size_t length = std::strcspn(portText, "\r\n");
    if (length >= line.size()) {
        return;
    }
    std::memcpy(line.data(), portText, length);
    WriteProfileText(kProgramName, kPortKey, line.data(), settingsPath.data());
}

int SetComPort(int argc, const char* const* argv, int commandIndex) {
    std::array<char, kPathTextSize> programPath{};
    if (argc - commandIndex >= 2) {
        const char* word = argv[commandIndex + 1];
        const char* portText = word + ComPrefixLength(word);
        const int port = ReadLeadingInt(portText);
        if (port < kLowestPort || port > kHighestPort) {
            Print("SCOM: Illegal port number\n");
            return kExitBadPortArg;
        }
        WritePortSetting(PathArgument(argv, 0, programPath.data()), portText);
        RecordScom(true, port);
        return kExitOk;
    }
    const int port = ReadPortSetting(PathArgument(argv, 0, programPath.data()));
    if (port > 0) {
        RecordScom(false, port);
        Print("%d\n", port);
        return kExitOk;
    }
    Print(port == 0 ? "SCOM : %s.ini not found\n" : "SCOM : %s.ini illegal format\n", kProgramName);
    return kExitNoPort;
}

}  // namespace morva

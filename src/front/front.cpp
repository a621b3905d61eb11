#include "front/front.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/console.h"
#include "common/exit_codes.h"
#include "common/platform.h"
#include "common/product.h"
#include "common/text.h"
#include "common/verbose.h"
#include "link/port_name.h"
#include "link/transact.h"
#include "record/run_record.h"
#include "scan/scan.h"
#include "settings/port_setting.h"
#include "update/update.h"

namespace morva {
namespace {

// The first four letters of the word select the row.
struct CommandRow {
    const char* name;
    int command;
};
constexpr std::array<CommandRow, 3> kCommandTable = {{
    {"HWSC", kCommandHwsc},
    {"SCOM", kCommandScom},
    {"UPDT", kCommandUpdt},
}};

bool IsOptionWord(const char* word) {
    return word[0] == '-' || word[0] == '/';
}

// The command of the run for its record: the built-in word, or the words as joined for the
// device (cut at the longest text that it takes).
void RecordRunCommand(int argc, const char* const* argv, int commandIndex) {
    if (!Recording() || commandIndex >= argc) {
        return;
    }
    constexpr int kRecordKinds[] = {kRecordPassThrough, kRecordScan, kRecordScom, kRecordUpdate};
    const int command = LookupCommand(argv[commandIndex]);
    if (command != kCommandNone) {
        RecordCommand(kRecordKinds[command], kCommandTable[command - 1].name, 4);
        return;
    }
    constexpr auto kLimit = static_cast<std::size_t>(kMaxJoinedLength);
    std::array<char, kLimit + 1> joined{};
    std::size_t used = 0;
    for (int i = commandIndex; i < argc && used < kLimit; ++i) {
        if (i > commandIndex) {
            joined[used++] = ' ';
        }
        const std::size_t length = std::min(std::strlen(argv[i]), kLimit - used);
        std::memcpy(joined.data() + used, argv[i], length);
        used += length;
    }
    RecordCommand(kRecordPassThrough, joined.data(), used);
}

void RecordUsedPort(int port) {
    if (!Recording()) {
        return;
    }
    std::array<char, kPortNameSize> device{};
    std::array<char, kPortNameSize> byId{};
    const bool named = NamePortDevice(port, device.data(), byId.data());
    RecordPort(port, device.data(), named ? byId.data() : nullptr);
    std::array<char, kAdapterTextSize> instanceId{};
    std::array<char, kAdapterTextSize> usbId{};
    std::array<char, kAdapterTextSize> serial{};
    if (NamePortAdapter(port, instanceId.data(), usbId.data(), serial.data())) {
        RecordAdapter(instanceId.data(), usbId.data(), serial.data());
    }
}

// Texts of the two callers of the port resolution.
struct ResolutionTexts {
    const char* illegalFormat;
    const char* notFound;
};
constexpr ResolutionTexts kUpdateTexts = {"%s.ini : Illegal format\n", "%s.ini : Not found\n"};
constexpr ResolutionTexts kPassThroughTexts = {"Illegal format : %s.ini\n", "Not found : %s.ini\n"};

// Returns 0 with *port usable, or the exit code after printing why there is no port.
int ResolvePort(const char* const* argv, const ResolutionTexts& texts, int* port) {
    if (*port == kNoPortGiven) {
        std::array<char, kPathTextSize> programPath{};
        *port = ReadPortSetting(PathArgument(argv, 0, programPath.data()));
    }
    if (*port < 0) {
        Print(texts.illegalFormat, kProgramName);
        return kExitNoPort;
    }
    if (*port == 0) {
        Print(texts.notFound, kProgramName);
        return kExitNoPort;
    }
    RecordUsedPort(*port);
    return kExitOk;
}

int RunUpdate(int argc, const char* const* argv, int commandIndex, int port) {
    if (argc - commandIndex < 2) {
        PrintUpdateHelp();
        return kExitCommand;
    }
    const int resolved = ResolvePort(argv, kUpdateTexts, &port);
    if (resolved != kExitOk) {
        return resolved;
    }
    int index = commandIndex;
    int flash = 0;
    const char* flag = argv[index + 1];
    if (std::strcmp(flag, "-w") == 0 || std::strcmp(flag, "-W") == 0) {
        flash = 1;
        ++index;
        if (GetVerboseLevel() >= 1) {
            Print("Do update after test !\n");
        }
    } else if (GetVerboseLevel() >= 1) {
        Print("Do only test.\n");
    }
    // With the flag as the last word there is no path: the entry after the last word is null.
    std::array<char, kPathTextSize> pathText{};
    const char* path = index + 1 < argc ? PathArgument(argv, index + 1, pathText.data()) : nullptr;
    return UpdateFirmware(port, flash, path);
}

int RunPassThrough(int argc, const char* const* argv, int commandIndex, int port) {
    const int resolved = ResolvePort(argv, kPassThroughTexts, &port);
    if (resolved != kExitOk) {
        return resolved;
    }
    // RunFront has checked the joined length: the words, their blanks and the CR fit.
    static_assert(kMaxJoinedLength + 1 <= kCommandTextMax);
    std::array<char, kCommandTextMax + 1> commandLine{};
    std::size_t used = 0;
    for (int i = commandIndex; i < argc; ++i) {
        const std::size_t length = std::strlen(argv[i]);
        std::memcpy(commandLine.data() + used, argv[i], length);
        used += length;
        commandLine[used++] = ' ';
    }
    commandLine[used - 1] = '\r';

    std::array<char, kReplyPlaceSize> reply{};
    const int result = TransactCommand(port, kReplyString, commandLine.data(), reply.data());
    RecordExchange(result != kExitPortOpen ? commandLine.data() : nullptr,
                   result == kExitOk ? reply.data() : nullptr);
    if (reply[0] == '1' && (reply[1] == '\r' || reply[1] == '\n')) {
        Print("Command Error\n");
    } else {
        Print("%s\n", reply.data());
    }
    return result;
}

int RunCommand(int argc, const char* const* argv) {
    const OptionScan scan = ScanOptions(argc, argv);
    RecordRunCommand(argc, argv, scan.commandIndex);
    if (scan.awaitingPort) {
        Print("Need COM port number after '-c' option.\n");
        return kExitBadPortArg;
    }
    if (scan.port == 0) {
        Print("Illegal port number\n");
        return kExitBadPortArg;
    }
    if (GetVerboseLevel() >= 1) {
        Print("verbose level:%d\n", GetVerboseLevel());
    }
    const long long joined = JoinedLength(argc, argv, scan.commandIndex);
    if (joined <= 0 || joined > kMaxJoinedLength) {
        Print("Too long command or command-options.\n");
        return kExitCommand;
    }
    const char* commandWord = argv[scan.commandIndex];
    switch (LookupCommand(commandWord)) {
        case kCommandHwsc:
            return ScanDevices();
        case kCommandScom:
            return SetComPort(argc, argv, scan.commandIndex);
        case kCommandUpdt:
            return RunUpdate(argc, argv, scan.commandIndex, scan.port);
        default:
            return RunPassThrough(argc, argv, scan.commandIndex, scan.port);
    }
}

}  // namespace

int ReadPortValue(const char* text) {
    return ReadLeadingInt(text + ComPrefixLength(text));
}

OptionScan ScanOptions(int argc, const char* const* argv) {
    OptionScan scan;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (!IsOptionWord(word)) {
            if (!scan.awaitingPort) {
                break;
            }
            scan.port = ReadPortValue(word);
            scan.awaitingPort = false;
            ++scan.commandIndex;
            continue;
        }
        ++scan.commandIndex;
        for (const char* p = word + 1; *p != '\0'; ++p) {
            if (*p == 'v' || *p == 'V') {
                SetVerboseLevel(GetVerboseLevel() + 1);
            } else if (*p == 'c' || *p == 'C') {
                // A word longer than the marker and the letter carries the value itself,
                // even when the letter ends it (the empty value then reads as 0).
                if (std::strlen(word) == 2) {
                    scan.awaitingPort = true;
                } else {
                    scan.port = ReadPortValue(p + 1);
                }
                break;
            }
        }
    }
    return scan;
}

long long JoinedLength(int argc, const char* const* argv, int first) {
    long long sum = 0;
    for (int i = first; i < argc; ++i) {
        sum += static_cast<long long>(std::strlen(argv[i])) + 1;
    }
    return sum - 1;
}

int LookupCommand(const char* word) {
    for (const CommandRow& row : kCommandTable) {
        int i = 0;
        while (i < 4 && word[i] != '\0' && ToUpperAscii(word[i]) == row.name[i]) {
            ++i;
        }
        if (i == 4) {
            return row.command;
        }
    }
    return kCommandNone;
}

void PrintUsage() {
    Print("[%s.exe v.%s]\n", kProgramName, kVersionText);
    Print("\n");
    Print("Usage:\n");
    Print("%s.exe [<option>] <command> [<parameter>]\n", kProgramName);
    Print("\n");
    Print("\tcommand   : %s series command.\n", kSeriesName);
    Print("\tparameter : command parameters (if necessary).\n");
    Print("\toption    :\n");
    Print("\t            -c <port>: COM port number (superior to %s.ini)\n", kProgramName);
    Print("\t            -v       : verbose mode\n");
    Print("\n");
    Print("Note:\n");
    Print("\tAt first, you must execute SCOM command to select the COM port\n");
    Print("\twhich is assigned to %s.\n", kSeriesName);
    Print("\t%s.ini will be created in the same folder as %s.exe.\n", kProgramName, kProgramName);
    Print("\n");
    Print("\t(example)\n");
    Print("\t%s.exe SCOM 1\n", kProgramName);
    // After the fixed lines, which scripts may read: the run record's variable.
    Print("\n");
    Print("\tSet MORVA_RECORD=<file> to append one JSON line per run to <file>.\n");
}

void PrintUpdateHelp() {
    Print("[Description]\n");
    Print("\tUpdate %s firmware\n", kSeriesName);
    Print("[Usage]\n");
    Print("\t%s.exe UPDT [-w] <mot file path>\n", kProgramName);
    Print("\tWithout -w option, %s.exe will do only communication test.\n", kProgramName);
    Print("\tWith -w option, %s.exe will update after communication test.\n", kProgramName);
}

int RunFront(int argc, const char* const* argv) {
    if (argc < 2) {
        PrintUsage();
        return kExitOk;
    }
    BeginRecord();
    const int code = RunCommand(argc, argv);
    EndRecord(code);
    return code;
}

}  // namespace morva

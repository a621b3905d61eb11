// The process entry: option scan, checks, command lookup and dispatch.
#pragma once

namespace morva {

inline constexpr int kNoPortGiven = -100;
inline constexpr int kMaxJoinedLength = 256;

inline constexpr int kCommandNone = 0;
inline constexpr int kCommandHwsc = 1;
inline constexpr int kCommandScom = 2;
inline constexpr int kCommandUpdt = 3;

struct OptionScan {
    int commandIndex = 1;
    int port = kNoPortGiven;
    bool awaitingPort = false;
};

// Reads the options before the command word; raises the verbose level for every v or V.
OptionScan ScanOptions(int argc, const char* const* argv);

// Turns a -c value text into a port number ("COM" prefix skipped on texts of 4 or more).
int ReadPortValue(const char* text);

// Length of the words from `first` on joined with single blanks; -1 when there are none.
long long JoinedLength(int argc, const char* const* argv, int first);

// The command (kCommandHwsc, kCommandScom, kCommandUpdt) that the word selects, or kCommandNone.
int LookupCommand(const char* word);

void PrintUsage();
void PrintUpdateHelp();

// Runs the program on its argument list and returns the exit code.
int RunFront(int argc, const char* const* argv);

}  // namespace morva

// The UPDT command: the firmware file is checked, sent in a test pass and, when asked for,
// in a flash pass, one line per exchange with a one-byte handshake.
#pragma once

#include "update/firmware_check.h"

namespace morva {

// One pass over the file: the label of its progress text and the command that opens it.
struct UpdatePass {
    const char* label;
    const char* opening;
    const char* recordName;  // in the run record
};
inline constexpr UpdatePass kTestPass = {"UPDT Test", "UPDT Test\r", "test"};
inline constexpr UpdatePass kFlashPass = {"UPDT Flash", "UPDT Flash\r", "flash"};

// Returns the exit code. `path` may be null (no path word on the command line).
int UpdateFirmware(int port, int flash, const char* path);

// One pass over the file: sends exactly the lines that the check counted, and only while the
// file is the one that the check read (else "UPDT : invalid file" and kExitCommand, before the
// opening command where it can be seen then). Returns 0 when the whole file went through, else
// a failure code.
int TransferFirmware(int port, const char* path, const UpdatePass& pass,
                     const FirmwareSummary& checked);

}  // namespace morva

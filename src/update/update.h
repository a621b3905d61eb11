// The UPDT command: the firmware file is checked, sent in a test pass and, when asked for,
// in a flash pass, one line per exchange with a one-byte handshake.
#pragma once

namespace morva {

// One pass over the file: the label of its progress text and the command that opens it.
struct UpdatePass {
    const char* label;
    const char* opening;
};
inline constexpr UpdatePass kTestPass = {"UPDT Test", "UPDT Test\r"};
inline constexpr UpdatePass kFlashPass = {"UPDT Flash", "UPDT Flash\r"};

// Returns the exit code. `path` may be null (no path word on the command line).
int UpdateFirmware(int port, int flash, const char* path);

// One pass over the file. Returns 0 when the whole file went through, else a failure code.
int TransferFirmware(int port, const char* path, const UpdatePass& pass, int total);

}  // namespace morva

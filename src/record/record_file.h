// The platform side of the run record: one line appended to the record file, the names of the
// machine and the user, full paths, and the console's interrupts (record_file_posix.cpp,
// record_file_win.cpp).
#pragma once

#include <cstddef>

namespace morva {

// Why a record line was not written; 0 when it was.
inline constexpr int kRecordWritten = 0;
inline constexpr int kRecordCannotOpen = 1;
inline constexpr int kRecordNotAFile = 2;
inline constexpr int kRecordForeignLink = 3;
inline constexpr int kRecordWriteFailed = 4;  // nothing of the line stayed
inline constexpr int kRecordHardLink = 5;
inline constexpr int kRecordLocked = 6;    // another program kept the file locked
inline constexpr int kRecordCutShort = 7;  // part of the line stayed and could not be cut off
inline constexpr int kRecordPathTooLong = 8;

// Appends `length` bytes to the file at `path` with one write, made when missing (with the
// caller's umask), a regular file of one name only, never through a link of another user, and
// never a device. The line is whole or absent: a failed write is cut off again, and a file
// that does not end in a line end gets one first. Returns one of the codes above. POSIX:
// async-signal-safe.
int AppendRecordLine(const char* path, const char* line, std::size_t length);

// The machine's name, the user's name (each in `capacity` bytes, "" when unknown) and the
// process id.
void GetRunIdentity(char* host, char* user, std::size_t capacity, long long* pid);

// The full form of `path` (kPathTextSize bytes in `buffer`), or nullptr when it has none that
// fits.
const char* FullPath(const char* path, char* buffer);

// Windows: Ctrl-C and Ctrl-Break in the console call `interrupted` before the process ends as
// it does by default. POSIX: nothing (the interrupt handler of the serial port calls it).
void CatchConsoleInterrupts(void (*interrupted)());

}  // namespace morva

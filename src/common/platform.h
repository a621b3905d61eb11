// Services of the operating system that the logic needs, one translation unit per platform
// (platform_posix.cpp, platform_win.cpp); the build links exactly one of them.
#pragma once

#include <cstdio>

namespace morva {

// Separator that the settings search appends to a folder, and the one between PATH entries.
extern const char kPathSeparator;
extern const char kPathListSeparator;
// Extension of the executable (named kProgramName) that marks the folder of the settings file.
extern const char kExecutableExtension[];  // without dot; empty where executables have none

// True when a file or a folder of that name exists.
bool FileExists(const char* path);

// Writes the current directory into buffer; returns 1, or 0 when it cannot be read or does not
// fit into capacity bytes with its terminator (buffer then holds the empty text).
int GetCurrentDir(char* buffer, int capacity);

// Opens a file for binary reading; nullptr when it cannot be opened or is not a regular file
// (a folder, a device).
std::FILE* OpenFileForReading(const char* path);

// Paths that the file operations above take come from here. Windows: UTF-8, so that names
// outside the ANSI code page work; elsewhere the system's own bytes.
constexpr int kPathTextSize = 1024;
// The command-line argument at index as such a path, in buffer (kPathTextSize bytes), or the
// argument itself where it cannot be had.
const char* PathArgument(const char* const* argv, int index, char* buffer);
// The value of an environment variable as such paths, or nullptr when it is not set.
const char* GetPathVariable(const char* name);
// A path as the console shows it: in the ANSI code page on Windows, byte for byte as the
// program's arguments arrive there; in buffer (kPathTextSize bytes), or the path itself.
const char* ShownPath(const char* path, char* buffer);

// Called once around the whole run. Windows: a 1 ms system timer, so that the 10 ms sleep
// before each poll lasts 10 ms (the default tick is 15.6 ms), asked for once rather than at
// every exchange. POSIX: SIGPIPE ignored, since output only reports: a closed output pipe or
// a failed write to it never ends a command, which returns its own exit code; and standard
// input, output or error that the caller closed is opened on /dev/null before anything else is
// opened, so that no file or port takes its place.
void BeginRun();
void EndRun();

}  // namespace morva

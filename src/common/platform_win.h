// Services that only the Windows side of the platform seam shares among its *_win.cpp units.
#pragma once

#include <windows.h>

namespace morva {

// Wide paths of the file calls: the longest that the system takes, with its terminator.
constexpr int kWidePathSize = 32768;

// A path text of the program (UTF-8; a text that is not UTF-8 is taken in the ANSI code page,
// as the A calls take it) as a wide path; 0 when it does not fit.
int ToWidePath(const char* path, wchar_t* wide, int capacity);

// True when the wide path resolves into the device namespace (COM3, NUL, CON): no file there.
bool IsDeviceName(const wchar_t* wide);

}  // namespace morva

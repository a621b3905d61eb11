// Console output. Every message goes to standard output and is flushed at once, because
// progress texts end without a newline and scripts read the output as it comes.
#pragma once

namespace morva {

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints "<label>(<count>) : " and the bytes as "%02X " pairs, then a newline.
void PrintHexTrace(const char* label, int count, const char* bytes);

}  // namespace morva

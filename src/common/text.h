// Small text helpers shared by the command line and the settings.
#pragma once

namespace morva {

// Reads a leading decimal integer: white space skipped, one optional sign, then digits up to
// the first other character. No digits gives 0. Values beyond the int range saturate, so that
// an overlong number can never wrap round into a valid port.
int ReadLeadingInt(const char* text);

// 3 when the word is at least 4 characters long and begins with "COM" in any case, else 0.
int ComPrefixLength(const char* word);

// ASCII letters compared without regard to case.
char ToUpperAscii(char c);

// Room for any path of the program with each of its bytes escaped.
inline constexpr int kEscapedPathSize = 4 * 1024 + 1;
// `text` with its control bytes (0x01 to 0x1F, 0x7F) as octal escapes ("\033"), as ls -b
// shows them, so that a name cannot steer the terminal; every other byte, non-ASCII included,
// stays. In `buffer` (`capacity` bytes), cut where it does not fit.
const char* EscapeControlBytes(const char* text, char* buffer, int capacity);

}  // namespace morva

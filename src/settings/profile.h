// Profile (ini) files: one value read or written by section and key. profile_win.cpp hands these
// to kernel32; profile_posix.cpp reads and writes the same format itself.
//
// The format: "[section]" lines open sections, "key=value" lines hold values, lines whose first
// non-blank character is ';' are comments. Section and key names match without regard to case;
// blanks (spaces, tabs) around names and values do not count. Lines may end in CR LF or LF.
#pragma once

namespace morva {

// The leading signed decimal number of the key's value in the first section of that name
// (values beyond the 32-bit range saturate; a value that does not begin with a number gives 0).
// defaultValue when the file, the section or the key is missing or the value is empty.
int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* path);

// Sets the key to `value` in the first section of that name, creating the file, the section or
// the key as needed, and leaves every other line of the file as it was. A write that fails leaves
// the file as it was. Failures are not reported. New lines take the file's line ends; a new file
// gets CR LF from the Windows build and LF from the POSIX build, and both builds read both.
void WriteProfileText(const char* section, const char* key, const char* value, const char* path);

}  // namespace morva

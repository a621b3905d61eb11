// Line-by-line reading of a firmware file in text mode, the same on every platform: a carriage
// return directly followed by a line feed reads as one '\n', a carriage return on its own stays,
// and a 0x1A byte ends the data. The file check and the transfer passes read through this, so
// that both see the same lines.
#pragma once

#include <array>
#include <cstdio>

#include "common/sha256.h"

namespace morva {

// A line buffer for ReadTextLine: 255 characters, the newline included, and a terminator.
inline constexpr int kLineBufferSize = 256;
inline constexpr int kTextReadBufferSize = 64 * 1024;

// What a reader takes of the file's bytes besides its lines: their number and their SHA-256.
struct ReadDigest {
    Sha256 sha256;
    long long bytes = 0;
};

// An open file and its read buffer. It belongs to the one procedure that reads the file, lives
// on its stack, and closes the file when it goes out of scope if CloseTextFile was not called.
struct TextFile {
    TextFile() = default;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;
    ~TextFile();

    std::FILE* file = nullptr;
    int start = 0;                 // next unread byte of `buffer`
    int end = 0;                   // bytes held in `buffer`
    bool ended = false;            // end of file, read error or 0x1A reached
    bool dropped = false;          // bytes of the file were dropped from `buffer` to make room
    ReadDigest* digest = nullptr;  // takes every byte read, when given
    std::array<char, kTextReadBufferSize> buffer;
};

// Opens `path` for reading. Returns 1, or 0 when it cannot be opened (a folder included).
int OpenTextFile(const char* path, TextFile* text);

// Reads the next line: characters up to and including the newline, at most capacity - 1 of
// them (a longer line comes in pieces), followed by a terminator. Returns the number of
// characters stored, which may include zero bytes of the file; 0 at the end of the data.
// capacity must be at least 2.
int ReadTextLine(TextFile* text, char* line, int capacity);

// Reads the file again from its start. A file that fits into the read buffer is not read
// again: its lines are those already read, whatever the file holds by now. Returns 1, or 0 when
// the file cannot be read again.
int RewindTextFile(TextFile* text);

// Reads what is left of the file into its digest (the bytes after a 0x1A that ended the data).
void ReadRestOfFile(TextFile* text);

// Closes the file; harmless when it is not open.
void CloseTextFile(TextFile* text);

}  // namespace morva

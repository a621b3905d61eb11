#include "update/text_file.h"

#include <algorithm>
#include <cstring>

#include "common/platform.h"

namespace morva {
namespace {

constexpr char kEndOfData = 0x1A;

bool IsSpecial(char c) {
    // One comparison rules out every printable character.
    return static_cast<unsigned char>(c) <= 0x1A && (c == '\n' || c == '\r' || c == kEndOfData);
}

// Keeps the unread bytes, moved to the front, and reads more behind them. Returns the number
// of unread bytes now held. At the end of the data nothing moves, so that a file read whole
// stays whole in the buffer.
int FillBuffer(TextFile* text) {
    const int kept = text->end - text->start;
    if (text->ended) {
        return kept;
    }
    text->dropped = text->dropped || text->start > 0;
    if (kept > 0 && text->start > 0) {
        std::memmove(text->buffer.data(), text->buffer.data() + text->start,
                     static_cast<std::size_t>(kept));
    }
    text->start = 0;
    text->end = kept;
    if (text->file != nullptr) {
        const std::size_t room = text->buffer.size() - static_cast<std::size_t>(kept);
        const std::size_t got = std::fread(text->buffer.data() + kept, 1, room, text->file);
        text->end += static_cast<int>(got);
        if (text->digest != nullptr) {
            AddToSha256(&text->digest->sha256, text->buffer.data() + kept, got);
            text->digest->bytes += static_cast<long long>(got);
        }
        if (got < room) {
            text->ended = true;  // end of file or a read error: both end the data
        }
    }
    return text->end;
}

}  // namespace

TextFile::~TextFile() {
    CloseTextFile(this);
}

int OpenTextFile(const char* path, TextFile* text) {
    CloseTextFile(text);
    text->file = OpenFileForReading(path);
    if (text->file == nullptr) {
        return 0;
    }
    // The file is read in large blocks into `buffer`; a second buffer inside stdio only copies.
    // A failure leaves stdio's buffer in place: slower, not wrong.
    static_cast<void>(std::setvbuf(text->file, nullptr, _IONBF, 0));
    return 1;
}

int ReadTextLine(TextFile* text, char* line, int capacity) {
    int length = 0;
    while (length < capacity - 1) {
        if (text->start == text->end && FillBuffer(text) == 0) {
            break;
        }
        // Ordinary characters go straight through, up to the first one that needs a look.
        const char* from = text->buffer.data() + text->start;
        const int room = std::min(capacity - 1 - length, text->end - text->start);
        int plain = 0;
        while (plain < room && !IsSpecial(from[plain])) {
            ++plain;
        }
        std::memcpy(line + length, from, static_cast<std::size_t>(plain));
        length += plain;
        text->start += plain;
        if (plain == room) {
            continue;
        }

        char c = from[plain];
        if (c == kEndOfData) {
            // Nothing after it is data: drop the rest and read no more.
            text->start = text->end;
            text->ended = true;
            break;
        }
        if (c == '\r') {
            if (text->start + 1 == text->end) {
                FillBuffer(text);  // the byte after the carriage return decides
            }
            if (text->start + 1 < text->end &&
                text->buffer[static_cast<std::size_t>(text->start) + 1] == '\n') {
                ++text->start;
                c = '\n';
            }
        }
        ++text->start;
        line[length] = c;
        ++length;
        if (c == '\n') {
            break;
        }
    }
    if (capacity > 0) {
        line[length] = '\0';
    }
    return length;
}

int RewindTextFile(TextFile* text) {
    if (text->file == nullptr) {
        return 0;
    }
    if (text->ended && !text->dropped) {
        text->start = 0;
        return 1;
    }
    if (std::fseek(text->file, 0, SEEK_SET) != 0) {
        return 0;
    }
    text->start = 0;
    text->end = 0;
    text->ended = false;
    text->dropped = false;
    return 1;
}

void ReadRestOfFile(TextFile* text) {
    while (text->file != nullptr && text->digest != nullptr) {
        const std::size_t got = std::fread(text->buffer.data(), 1, text->buffer.size(), text->file);
        if (got == 0) {
            break;
        }
        AddToSha256(&text->digest->sha256, text->buffer.data(), got);
        text->digest->bytes += static_cast<long long>(got);
    }
    text->start = 0;
    text->end = 0;
    text->ended = true;
    text->dropped = true;
}

void CloseTextFile(TextFile* text) {
    if (text->file != nullptr) {
        static_cast<void>(std::fclose(text->file));  // read only: nothing to lose
        text->file = nullptr;
    }
    text->start = 0;
    text->end = 0;
    text->ended = false;
    text->dropped = false;
}

}  // namespace morva

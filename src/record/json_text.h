// One JSON object as a line of text, built in a fixed buffer: every write is bounded, and a
// value that does not fit makes the whole text fail rather than end up cut in the middle.
#pragma once

#include <cstddef>

namespace morva {

struct JsonText {
    char* text;
    std::size_t capacity;  // bytes of `text`, the terminator included
    std::size_t used = 0;
    bool needComma = false;
    bool overflow = false;
};

void JsonOpen(JsonText* json, char bracket);  // '{' or '['; a value in an array or after a key
void JsonClose(JsonText* json, char bracket);
void JsonKey(JsonText* json, const char* key);
// The bytes as a JSON string: quote, backslash and control bytes escaped; valid UTF-8 kept,
// every other byte as the character of that code (\u00XX). Null gives null. At most `limit`
// bytes of `bytes` are taken; a sequence is never split.
void JsonString(JsonText* json, const char* bytes, std::size_t length, std::size_t limit);
void JsonText0(JsonText* json, const char* text, std::size_t limit);  // zero-terminated or null
// The bytes as a string of two lower-case hexadecimal digits each.
void JsonHex(JsonText* json, const char* bytes, std::size_t length);
// True when the bytes are valid UTF-8 throughout, so that JsonString keeps them losslessly.
bool IsUtf8(const char* bytes, std::size_t length);
void JsonInt(JsonText* json, long long value);
void JsonBool(JsonText* json, bool value);
void JsonNull(JsonText* json);
// Ends the text with a line feed and a terminator. Returns its length, or 0 when it overflowed.
std::size_t JsonEndLine(JsonText* json);

}  // namespace morva

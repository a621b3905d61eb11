#include "record/json_text.h"

#include <cstdio>
#include <cstring>

namespace morva {
namespace {

void Put(JsonText* json, const char* bytes, std::size_t length) {
    // One byte stays for the terminator.
    if (json->overflow || length >= json->capacity - json->used) {
        json->overflow = true;
        return;
    }
    std::memcpy(json->text + json->used, bytes, length);
    json->used += length;
}

void PutChar(JsonText* json, char c) {
    Put(json, &c, 1);
}

void BeginValue(JsonText* json) {
    if (json->needComma) {
        PutChar(json, ',');
    }
    json->needComma = true;
}

bool IsContinuation(unsigned char c) {
    return (c & 0xC0U) == 0x80U;
}

// Length of the valid UTF-8 sequence at the start of `bytes`, or 0 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
std::size_t SequenceLength(const unsigned char* bytes, std::size_t length) {
    const unsigned char lead = bytes[0];
    std::size_t need = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (need == 0 || need > length || bytes[1] < low || bytes[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < need; ++i) {
        if (!IsContinuation(bytes[i])) {
            return 0;
        }
    }
    return need;
}

}  // namespace

void JsonHex(JsonText* json, const char* bytes, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    BeginValue(json);
    PutChar(json, '"');
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const char pair[2] = {kDigits[byte >> 4], kDigits[byte & 0x0F]};
        Put(json, pair, 2);
    }
    PutChar(json, '"');
}

bool IsUtf8(const char* bytes, std::size_t length) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < length;) {
        const std::size_t step = at[i] < 0x80 ? 1 : SequenceLength(at + i, length - i);
        if (step == 0) {
            return false;
        }
        i += step;
    }
    return true;
}

void JsonOpen(JsonText* json, char bracket) {
    BeginValue(json);
    PutChar(json, bracket);
    json->needComma = false;
}

void JsonClose(JsonText* json, char bracket) {
    PutChar(json, bracket);
    json->needComma = true;
}

void JsonKey(JsonText* json, const char* key) {
    BeginValue(json);
    PutChar(json, '"');
    Put(json, key, std::strlen(key));
    Put(json, "\":", 2);
    json->needComma = false;
}

void JsonString(JsonText* json, const char* bytes, std::size_t length, std::size_t limit) {
    if (bytes == nullptr) {
        JsonNull(json);
        return;
    }
    BeginValue(json);
    PutChar(json, '"');
    const auto* from = reinterpret_cast<const unsigned char*>(bytes);
    const std::size_t end = length < limit ? length : limit;
    std::size_t i = 0;
    while (i < end) {
        const unsigned char c = from[i];
        const std::size_t sequence = c >= 0x80 ? SequenceLength(from + i, end - i) : 1;
        char escape[8];
        if (c == '"' || c == '\\') {
            escape[0] = '\\';
            escape[1] = static_cast<char>(c);
            Put(json, escape, 2);
        } else if (c == '\n' || c == '\r' || c == '\t') {
            escape[0] = '\\';
            escape[1] = c == '\n' ? 'n' : (c == '\r' ? 'r' : 't');
            Put(json, escape, 2);
        } else if (c < 0x20 || c == 0x7F || sequence == 0) {
            static_cast<void>(
                std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c)));
            Put(json, escape, 6);
        } else {
            Put(json, bytes + i, sequence);
            i += sequence;
            continue;
        }
        ++i;
    }
    PutChar(json, '"');
}

void JsonText0(JsonText* json, const char* text, std::size_t limit) {
    JsonString(json, text, text != nullptr ? std::strlen(text) : 0, limit);
}

void JsonInt(JsonText* json, long long value) {
    BeginValue(json);
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%lld", value);
    Put(json, digits, static_cast<std::size_t>(length));
}

void JsonBool(JsonText* json, bool value) {
    BeginValue(json);
    Put(json, value ? "true" : "false", value ? 4 : 5);
}

void JsonNull(JsonText* json) {
    BeginValue(json);
    Put(json, "null", 4);
}

std::size_t JsonEndLine(JsonText* json) {
    PutChar(json, '\n');
    if (json->overflow) {
        return 0;
    }
    json->text[json->used] = '\0';
    return json->used;
}

}  // namespace morva

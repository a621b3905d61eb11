#include "common/text.h"

#include <climits>

namespace morva {

char ToUpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int ReadLeadingInt(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (*p - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int ComPrefixLength(const char* word) {
    for (int i = 0; i < 4; ++i) {
        if (word[i] == '\0') {
            return 0;
        }
    }
    const bool com = ToUpperAscii(word[0]) == 'C' && ToUpperAscii(word[1]) == 'O' &&
                     ToUpperAscii(word[2]) == 'M';
    return com ? 3 : 0;
}

const char* EscapeControlBytes(const char* text, char* buffer, int capacity) {
    int used = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        const bool control = byte < 0x20 || byte == 0x7F;
        const int need = control ? 4 : 1;
        if (used + need >= capacity) {
            break;
        }
        if (control) {
            buffer[used++] = '\\';
            buffer[used++] = static_cast<char>('0' + (byte >> 6));
            buffer[used++] = static_cast<char>('0' + ((byte >> 3) & 7));
            buffer[used++] = static_cast<char>('0' + (byte & 7));
        } else {
            buffer[used++] = *at;
        }
    }
    buffer[used] = '\0';
    return buffer;
}

}  // namespace morva

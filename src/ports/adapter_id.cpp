#include "ports/adapter_id.h"

#include <cstdio>
#include <cstring>

namespace morva {
namespace {

bool StartsWith(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        const char c = *text >= 'a' && *text <= 'z' ? static_cast<char>(*text - 'a' + 'A') : *text;
        if (c != *prefix) {
            return false;
        }
    }
    return true;
}

// Four hexadecimal digits after `tag` at `text`; -1 when they are not there.
int HexAfter(const char* text, const char* tag) {
    if (!StartsWith(text, tag)) {
        return -1;
    }
    int value = 0;
    for (const char* digit = text + std::strlen(tag); digit < text + std::strlen(tag) + 4;
         ++digit) {
        int v = -1;
        if (*digit >= '0' && *digit <= '9') {
            v = *digit - '0';
        } else if (*digit >= 'a' && *digit <= 'f') {
            v = *digit - 'a' + 10;
        } else if (*digit >= 'A' && *digit <= 'F') {
            v = *digit - 'A' + 10;
        }
        if (v < 0) {
            return -1;
        }
        value = value * 16 + v;
    }
    return value;
}

// Copies [from, to) as the serial when it is one: not empty, no '&', fits.
void KeepSerial(const char* from, const char* to, AdapterId* adapter) {
    const auto length = static_cast<std::size_t>(to - from);
    if (length == 0 || length >= adapter->serial.size() || std::memchr(from, '&', length)) {
        return;
    }
    std::memcpy(adapter->serial.data(), from, length);
    adapter->serial[length] = '\0';
}

}  // namespace

bool ReadInstanceId(const char* id, AdapterId* adapter) {
    *adapter = AdapterId{};
    if (id == nullptr) {
        return false;
    }
    if (StartsWith(id, "BTHENUM\\")) {
        adapter->bluetooth = true;
        return true;
    }
    const bool ftdi = StartsWith(id, "FTDIBUS\\");
    if (!ftdi && !StartsWith(id, "USB\\")) {
        return false;
    }
    const char* ids = std::strchr(id, '\\') + 1;
    const char separator = ftdi ? '+' : '&';
    const int vid = HexAfter(ids, "VID_");
    const int pid = vid < 0 || ids[8] != separator ? -1 : HexAfter(ids + 9, "PID_");
    if (pid < 0) {
        return false;
    }
    static_cast<void>(std::snprintf(adapter->usbId.data(), adapter->usbId.size(), "%04X:%04X",
                                    static_cast<unsigned>(vid) & 0xFFFFU,
                                    static_cast<unsigned>(pid) & 0xFFFFU));
    const char* rest = ids + 17;
    const char* end = std::strchr(rest, '\\');
    if (ftdi) {
        adapter->interfaceOfParent = true;
        if (*rest == '+' && end != nullptr) {
            KeepSerial(rest + 1, end, adapter);
        }
        return true;
    }
    adapter->interfaceOfParent = StartsWith(rest, "&MI_");
    if (!adapter->interfaceOfParent && end != nullptr) {
        KeepSerial(end + 1, end + std::strlen(end), adapter);
    }
    return true;
}

}  // namespace morva

#include "common/console.h"

#include <array>
#include <cstdarg>
#include <cstdio>

#include "record/run_record.h"

namespace morva {

namespace {

// The run record keeps the last message.
void RecordPrinted(const char* format, va_list args) {
    std::array<char, 1024> text{};
    static_cast<void>(std::vsnprintf(text.data(), text.size(), format, args));
    RecordMessage(text.data());
}

}  // namespace

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    if (Recording()) {
        va_list again;
        va_start(again, format);
        RecordPrinted(format, again);
        va_end(again);
    }
    // A console that cannot be written has nowhere to report it.
    static_cast<void>(std::fflush(stdout));
}

void PrintHexTrace(const char* label, int count, const char* bytes) {
    std::printf("%s(%d) : ", label, count);
    for (int i = 0; i < count; ++i) {
        std::printf("%02X ", static_cast<unsigned char>(bytes[i]));
    }
    std::printf("\n");
    static_cast<void>(std::fflush(stdout));
}

}  // namespace morva

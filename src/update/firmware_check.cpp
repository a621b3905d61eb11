#include "update/firmware_check.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "common/console.h"
#include "common/product.h"
#include "common/verbose.h"
#include "update/srecord.h"
#include "update/text_file.h"

namespace morva {
namespace {

constexpr int kHeaderTextSize = 256;
constexpr std::size_t kPrefixLength = sizeof(kFirmwarePrefix) - 1;

// 1 when the header record's text begins with the firmware prefix; prints the rejection.
int CheckHeader(const SRecord& record) {
    std::array<char, kHeaderTextSize> header{};
    const int length =
        std::clamp(record.count - 3, 0, std::min(kHeaderTextSize - 1, kSRecordDataSize));
    std::memcpy(header.data(), record.data.data(), static_cast<std::size_t>(length));
    header[static_cast<std::size_t>(length)] = '\0';
    if (std::strncmp(header.data(), kFirmwarePrefix, kPrefixLength) == 0) {
        return 1;
    }
    if (GetVerboseLevel() >= 1) {
        Print("Not %s firmware file (%s)\n", kSeriesName, header.data());
    }
    return 0;
}

}  // namespace

int CheckFirmwareFile(const char* path) {
    TextFile file;  // closed on every return
    if (OpenTextFile(path, &file) == 0) {
        return 1;
    }
    std::array<char, kLineBufferSize> line{};
    SRecord record{};
    int lines = 0;
    for (;;) {
        const int length = ReadTextLine(&file, line.data(), kLineBufferSize);
        if (length == 0) {
            break;
        }
        // Text mode leaves only a carriage return that ends no line: the device would take it
        // for a line end and the rest of the line for a line of its own, never checked.
        if (std::memchr(line.data(), '\r', static_cast<std::size_t>(length)) != nullptr ||
            DecodeSRecord({line.data(), static_cast<std::size_t>(length)}, &record) != 0) {
            return 0;
        }
        if (record.type == 0 && CheckHeader(record) == 0) {
            return 0;
        }
        if (lines == INT_MAX) {
            return 0;  // more lines than the count can hold: no firmware file is that long
        }
        ++lines;
    }
    return lines;
}

}  // namespace morva

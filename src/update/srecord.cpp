#include "update/srecord.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace morva {
namespace {

// Positions 4 to 7 are summed even when the count is below 3.
constexpr std::size_t kMinimumLineLength = 8;

constexpr std::uint8_t DigitValue(unsigned char code) {
    if (code <= '9') {
        return static_cast<std::uint8_t>(code - 0x30);
    }
    if (code <= 'F') {
        return static_cast<std::uint8_t>(code - 0x37);
    }
    return static_cast<std::uint8_t>(code - 0x57);
}

constexpr std::array<std::uint8_t, 256> MakeDigitValues() {
    std::array<std::uint8_t, 256> values{};
    for (std::size_t code = 0; code < values.size(); ++code) {
        values[code] = DigitValue(static_cast<unsigned char>(code));
    }
    return values;
}

// Looked up rather than branched on: the decoder runs over every digit of large files.
constexpr std::array<std::uint8_t, 256> kDigitValues = MakeDigitValues();

std::uint8_t ValueAt(std::string_view line, std::size_t position) {
    return kDigitValues[static_cast<unsigned char>(line[position])];
}

std::uint8_t ByteAt(std::string_view line, std::size_t position) {
    return static_cast<std::uint8_t>(ValueAt(line, position) * 16 + ValueAt(line, position + 1));
}

}  // namespace

std::uint8_t HexDigitValue(char c) {
    return kDigitValues[static_cast<unsigned char>(c)];
}

int DecodeSRecord(std::string_view line, SRecord* record) {
    if (line.size() < 4) {
        return 1;
    }
    const int count = ValueAt(line, 2) * 16 + ValueAt(line, 3);
    const std::size_t checksumAt = 2 + 2 * static_cast<std::size_t>(count);
    if (line.size() < std::max(kMinimumLineLength, checksumAt + 2)) {
        return 1;
    }

    const int dataCount = std::max(count - 3, 0);
    if (dataCount > kSRecordDataSize) {
        return 1;  // a count made of non-hex digits; its data would not fit into the record
    }
    auto sum = static_cast<std::uint8_t>(count + ByteAt(line, 4) + ByteAt(line, 6));
    for (int i = 0; i < dataCount; ++i) {
        sum = static_cast<std::uint8_t>(sum + ByteAt(line, 8 + 2 * static_cast<std::size_t>(i)));
    }
    if (static_cast<std::uint8_t>(255 - sum) != ByteAt(line, checksumAt)) {
        return 1;
    }
    if (record == nullptr) {
        return 0;
    }

    record->type = static_cast<std::uint8_t>(static_cast<unsigned char>(line[1]) - 0x30);
    // From the four digit values, not the two bytes: a non-hex digit carries into the next digit.
    record->address =
        static_cast<std::uint16_t>(HexDigitValue(line[4]) * 4096 + HexDigitValue(line[5]) * 256 +
                                   HexDigitValue(line[6]) * 16 + HexDigitValue(line[7]));
    record->count = count;
    for (int i = 0; i < dataCount; ++i) {
        record->data[static_cast<std::size_t>(i)] =
            ByteAt(line, 8 + 2 * static_cast<std::size_t>(i));
    }
    return 0;
}

}  // namespace morva

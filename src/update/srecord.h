// Decoding of one Motorola S-record line and the test of its checksum.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace morva {

// Most data bytes a two-digit byte count leaves after the two address bytes and the checksum.
inline constexpr int kSRecordDataSize = 252;

// One decoded line. The address is always the four digits after the count; the further address
// bytes of S2/S3/S7/S8 records are the first elements of `data`.
struct SRecord {
    std::uint8_t type;  // type digit minus '0', not validated
    int count;          // byte count, 0 to 255
    std::uint16_t address;
    std::array<std::uint8_t, kSRecordDataSize> data;  // only the first count - 3 are written
};

// Value of one hexadecimal digit, either case. Any other character yields some value by the
// same arithmetic; there is no failure.
std::uint8_t HexDigitValue(char c);

// Tests the checksum of `line` and, when it is right and `record` is not null, fills the record.
// Returns 0 for a right checksum, 1 otherwise; on 1 the record is left untouched. The mark
// character is not examined and characters after the checksum are ignored. Only characters
// inside `line` are read: a line too short for the positions its byte count implies (at least
// 8 characters, and 4 + 2 x count) yields 1 as well, as does a count of non-hex digits above
// 255, whose data would not fit into the record.
int DecodeSRecord(std::string_view line, SRecord* record);

}  // namespace morva

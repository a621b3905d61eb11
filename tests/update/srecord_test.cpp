#include "update/srecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_files.h"

namespace morva {
namespace {

constexpr std::uint8_t kUntouched = 0xA5;

SRecord UntouchedRecord() {
    SRecord record{};
    std::memset(&record, kUntouched, sizeof record);
    return record;
}

bool IsUntouched(const SRecord& record) {
    const SRecord fresh = UntouchedRecord();
    return std::memcmp(&record, &fresh, sizeof record) == 0;
}

// Decodes from a block of exactly the line's length, without a terminator behind it, so that
// a read past the line is a read past the block (caught by the sanitizer build).
int DecodeExact(const std::string& line, SRecord* record) {
    const auto block = std::make_unique<char[]>(line.size());
    std::memcpy(block.get(), line.data(), line.size());
    return DecodeSRecord(std::string_view(block.get(), line.size()), record);
}

struct HexDigitCase {
    char c;
    int value;
};

class HexDigitValueTest : public testing::TestWithParam<HexDigitCase> {};

TEST_P(HexDigitValueTest, GivesDigitValueOrTheUncheckedArithmetic) {
    EXPECT_EQ(HexDigitValue(GetParam().c), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Digits, HexDigitValueTest,
                         testing::Values(HexDigitCase{'0', 0}, HexDigitCase{'9', 9},
                                         HexDigitCase{'A', 10}, HexDigitCase{'F', 15},
                                         HexDigitCase{'a', 10}, HexDigitCase{'f', 15},
                                         HexDigitCase{'G', 0xF0}, HexDigitCase{'g', 0x10},
                                         HexDigitCase{':', 3}, HexDigitCase{' ', 0xF0},
                                         HexDigitCase{'\n', 0xDA}, HexDigitCase{'\0', 0xD0},
                                         HexDigitCase{'\xFF', 0xA8}));

struct DecodeCase {
    const char* name;
    std::string line;
    int result;
    int type;
    int count;
    int address;
    std::vector<std::uint8_t> data;
};

std::string Name(const testing::TestParamInfo<DecodeCase>& info) {
    return info.param.name;
}

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, FillsRecordOnlyWhenChecksumIsRight) {
    const DecodeCase& c = GetParam();
    SRecord record = UntouchedRecord();
    ASSERT_EQ(DecodeExact(c.line, &record), c.result);
    EXPECT_EQ(DecodeExact(c.line, nullptr), c.result);
    if (c.result != 0) {
        EXPECT_TRUE(IsUntouched(record));
        return;
    }
    EXPECT_EQ(record.type, c.type);
    EXPECT_EQ(record.count, c.count);
    EXPECT_EQ(record.address, c.address);
    for (std::size_t i = 0; i < record.data.size(); ++i) {
        const int expected = i < c.data.size() ? c.data[i] : kUntouched;
        EXPECT_EQ(record.data[i], expected) << "data[" << i << "]";
    }
}

const std::string kLongRecord = test::MakeRecord('1', std::string(146, '\x5A'));

INSTANTIATE_TEST_SUITE_P(
    Lines, DecodeTest,
    testing::Values(
        DecodeCase{"EndRecord", "S9030000FC", 0, 9, 3, 0, {}},
        DecodeCase{"DataRecord", "S1050010AABB85", 0, 1, 5, 0x10, {0xAA, 0xBB}},
        DecodeCase{"LowerCaseDigits", "S1050010aabb85", 0, 1, 5, 0x10, {0xAA, 0xBB}},
        DecodeCase{"LowerCaseChecksum", "S9030000fc", 0, 9, 3, 0, {}},
        DecodeCase{"BadChecksum", "S1050010AABB86", 1, 0, 0, 0, {}},
        DecodeCase{"Header", "S0050000414277", 0, 0, 5, 0, {0x41, 0x42}},
        DecodeCase{"OtherMark", "X1050010AABB85", 0, 1, 5, 0x10, {0xAA, 0xBB}},
        DecodeCase{"LowerCaseMark", "s1050010AABB85", 0, 1, 5, 0x10, {0xAA, 0xBB}},
        DecodeCase{"TypeNotADigit", "SA030000FC", 0, 0x11, 3, 0, {}},
        DecodeCase{"Newline", "S1050010AABB85\n", 0, 1, 5, 0x10, {0xAA, 0xBB}},
        DecodeCase{"TrailingText", "S1050010AABB85 rest;\r\n", 0, 1, 5, 0x10, {0xAA, 0xBB}},
        DecodeCase{"CountZero", "S100FF00", 0, 1, 0, 0xFF00, {}},
        DecodeCase{"CountOne", "S1017F00", 0, 1, 1, 0x7F00, {}},
        DecodeCase{"CountTwo", "S102FD00", 0, 1, 2, 0xFD00, {}},
        DecodeCase{"S2Record", "S2060012345678E5", 0, 2, 6, 0x0012, {0x34, 0x56, 0x78}},
        // 'G' is worth 0xF0: the address is formed from the four digit values (0xF000 + 0xF00)
        // while the sum takes the bytes 0x0G = 0xF0 and 0xG0 = 0x00.
        DecodeCase{"NonHexDigits", "S9030GG00C", 0, 9, 3, 0xFF00, {}},
        DecodeCase{"LongRecordWhole", kLongRecord, 0, 1, 0x93, 0x5A5A,
                   std::vector<std::uint8_t>(144, 0x5A)},
        // Lines shorter than their count claims: never read past the line, fail like a bad
        // checksum.
        DecodeCase{"Empty", "", 1, 0, 0, 0, {}}, DecodeCase{"MarkOnly", "S", 1, 0, 0, 0, {}},
        DecodeCase{"CountCut", "S10", 1, 0, 0, 0, {}},
        DecodeCase{"CountOnly", "S105", 1, 0, 0, 0, {}},
        DecodeCase{"ChecksumCut", "S1050010AABB8", 1, 0, 0, 0, {}},
        DecodeCase{"CountZeroCut", "S100FF0", 1, 0, 0, 0, {}},
        DecodeCase{"CountFF", "S1FF" + std::string(251, '0'), 1, 0, 0, 0, {}},
        DecodeCase{"LongRecordFirstRead", kLongRecord.substr(0, 255), 1, 0, 0, 0, {}},
        DecodeCase{"LongRecordSecondRead", kLongRecord.substr(255) + "\n", 1, 0, 0, 0, {}},
        // ':' is worth 3, so the count digits "0:" read as 3.
        DecodeCase{"CountWithColon", "S90:0000FC", 0, 9, 3, 0, {}},
        // Count "GG" reads as 0xFF0; the line is long enough and its checksum right (0xF0 summed),
        // but 4077 data bytes would not fit into the record.
        DecodeCase{"CountBeyondRecord", "S1GG" + std::string(8158, '0') + "0F", 1, 0, 0, 0, {}}),
    Name);

TEST(MakeRecordTest, MatchesKnownLines) {
    // The file tests build their lines with this helper.
    EXPECT_EQ(test::MakeHeader("AB"), "S0050000414277");
    EXPECT_EQ(test::MakeRecord('1', std::string_view("\x00\x10\xAA\xBB", 4)), "S1050010AABB85");
}

}  // namespace
}  // namespace morva

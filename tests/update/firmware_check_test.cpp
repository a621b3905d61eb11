#include "update/firmware_check.h"

#include <gtest/gtest.h>

#include <string>

#include "captured_output.h"
#include "common/verbose.h"
#include "test_files.h"

namespace morva {
namespace {

const std::string kHeader = test::MakeHeader("KRT07Q_APP 1.2") + "\n";
const std::string kData = "S1050010AABB85\n";
const std::string kEnd = "S9030000FC\n";
const std::string kGood = kHeader + kData + kEnd;

std::string WithCrLf(std::string text) {
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
        text.insert(at, 1, '\r');
    }
    return text;
}

struct CheckCase {
    const char* name;
    std::string bytes;
    int result;
    const char* verboseOutput;  // printed at verbose level 1; nothing is printed at level 0
};

class CheckFirmwareFileTest : public testing::TestWithParam<CheckCase> {
  protected:
    void TearDown() override { SetVerboseLevel(0); }

    test::ScratchFolder scratch_;
};

TEST_P(CheckFirmwareFileTest, CountsLinesOfValidFile) {
    const std::string path = scratch_.Write("fw.mot", GetParam().bytes);
    for (const int level : {0, 1}) {
        SetVerboseLevel(level);
        morva::test::CapturedOutput captured;
        const int result = CheckFirmwareFile(path.c_str());
        const std::string output = captured.Take();
        EXPECT_EQ(result, GetParam().result) << "verbose level " << level;
        EXPECT_EQ(output, level == 0 ? "" : GetParam().verboseOutput);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, CheckFirmwareFileTest,
    testing::Values(
        CheckCase{"GoodWithHeader", kGood, 3, ""}, CheckCase{"NoHeader", kData + kEnd, 2, ""},
        CheckCase{"BadChecksumOnLastLine", kHeader + kData + "S9030000FD\n", 0, ""},
        CheckCase{"BadChecksumFirstLine", "S1050010AABB86\n" + kEnd, 0, ""},
        CheckCase{"ForeignHeader", "S0050000414277\n" + kData + kEnd, 0,
                  "Not Tarvex firmware file (AB)\n"},
        CheckCase{"HeaderIsPrefixOnly", test::MakeHeader("KRT07Q_") + "\n" + kData + kEnd, 3, ""},
        CheckCase{"HeaderSixCharacters", test::MakeHeader("KRT07Q") + "\n" + kData + kEnd, 0,
                  "Not Tarvex firmware file (KRT07Q)\n"},
        CheckCase{"HeaderOtherCase", test::MakeHeader("krt07q_x") + "\n" + kData + kEnd, 0,
                  "Not Tarvex firmware file (krt07q_x)\n"},
        CheckCase{"HeaderWithoutText", test::MakeHeader("") + "\n" + kData, 0,
                  "Not Tarvex firmware file ()\n"},
        CheckCase{"HeaderCountBelowThree", "S00000FF\n" + kData, 0,
                  "Not Tarvex firmware file ()\n"},
        CheckCase{"SecondHeaderForeign", kHeader + kData + test::MakeHeader("XY") + "\n" + kEnd, 0,
                  "Not Tarvex firmware file (XY)\n"},
        CheckCase{"SecondHeaderGood", kHeader + kData + kHeader + kEnd, 4, ""},
        CheckCase{"Empty", "", 0, ""}, CheckCase{"CrLf", WithCrLf(kGood), 3, ""},
        CheckCase{"NoFinalNewline", kHeader + kData + "S9030000FC", 3, ""},
        CheckCase{"LineAfterEndRecordCounts", kGood + kData, 4, ""},
        CheckCase{"TrailingEndOfData", kGood + "\x1A", 3, ""},
        CheckCase{"BytesAfterEndOfDataIgnored", kGood + "\x1A" + "garbage\n", 3, ""},
        // A carriage return that ends no line would split the line on the wire.
        CheckCase{"LoneCarriageReturnIsNoLineEnd", kHeader + "S1050010AABB85\r" + kEnd, 0, ""},
        CheckCase{"CarriageReturnInsideLine", kHeader + "S1050010AABB85\rS1050010DEADFF\n" + kEnd,
                  0, ""},
        CheckCase{"CarriageReturnAtTheEnd", kHeader + kData + "S9030000FC\r", 0, ""},
        CheckCase{"CarriageReturnBeforeCrLf", kHeader + "S1050010AABB85\r\r\n" + kEnd, 0, ""},
        // The device would receive the line up to the zero byte only.
        CheckCase{"ZeroByteInsideRecord",
                  kHeader + "S105" + std::string(1, '\0') + "010AABB85\n" + kEnd, 0, ""},
        CheckCase{"ZeroByteAfterChecksum", kHeader + std::string("S1050010AABB85\0x\n", 17) + kEnd,
                  0, ""},
        // Count 0x93: 298 characters, read as a 255-character piece that cannot hold its
        // checksum.
        CheckCase{"LineLongerThanOneRead",
                  kHeader + test::MakeRecord('1', std::string(146, '\x11')) + "\n" + kEnd, 0, ""}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

class CheckFirmwareFilePathTest : public testing::Test {
  protected:
    test::ScratchFolder scratch_;
};

TEST_F(CheckFirmwareFilePathTest, UnopenableFileGivesOne) {
    EXPECT_EQ(CheckFirmwareFile(scratch_.Path("").c_str()), 1);
    EXPECT_EQ(CheckFirmwareFile(scratch_.Path("missing.mot").c_str()), 1);
}

}  // namespace
}  // namespace morva

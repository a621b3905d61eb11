// Files written by srec_cat (Debian package srecord), an S-record tool independent of this
// program: every line must decode with a right checksum, the decoded records must give back
// the data that went in, and a single changed digit must be caught.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"
#include "update/firmware_check.h"
#include "update/srecord.h"

namespace morva {
namespace {

constexpr char kSrecCat[] = MORVA_SREC_CAT;
constexpr char kHeaderText[] = "KRT07Q_SRECORD";
constexpr unsigned kLoadAddress = 0x1F00;  // data crosses a 64 KiB boundary with the S2/S3 sizes

struct SrecCatCase {
    int addressLength;  // 2, 3 or 4 address bytes: S1, S2 or S3 records
    int blockSize;      // data bytes per record
    int dataSize;
};

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class SrecCatTest : public testing::TestWithParam<SrecCatCase> {
  protected:
    void SetUp() override {
        ASSERT_STRNE(kSrecCat, "")
            << "srec_cat was not found when the build was configured: install the Debian "
               "package srecord (apt-get install -y srecord) and configure again";
        const SrecCatCase& c = GetParam();
        std::mt19937 random(static_cast<unsigned>(c.addressLength * 1000 + c.blockSize));
        data_.resize(static_cast<std::size_t>(c.dataSize));
        for (auto& byte : data_) {
            byte = static_cast<char>(random());
        }
        const std::string input = scratch_.Write("in.bin", data_);
        path_ = scratch_.Path("out.mot");
        const std::string command =
            std::string("\"") + kSrecCat + "\" \"" + input + "\" -binary -offset " +
            std::to_string(kLoadAddress) + " -o \"" + path_ +
            "\" -motorola -address-length=" + std::to_string(c.addressLength) +
            " -obs=" + std::to_string(c.blockSize) + " -header " + kHeaderText +
            " -execution-start-address=" + std::to_string(kLoadAddress);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        lines_ = SplitLines(text.str());
        ASSERT_GT(lines_.size(), 3U);
    }

    test::ScratchFolder scratch_;
    std::string data_;
    std::string path_;
    std::vector<std::string> lines_;
};

TEST_P(SrecCatTest, EveryLineDecodesToTheDataThatWentIn) {
    const int addressLength = GetParam().addressLength;
    const char dataType = static_cast<char>('0' + addressLength - 1);
    std::string image(data_.size(), '\0');
    std::size_t bytesSeen = 0;
    for (const std::string& line : lines_) {
        SCOPED_TRACE(line);
        SRecord record{};
        ASSERT_EQ(DecodeSRecord(line, &record), 0);
        EXPECT_EQ(record.type, line[1] - '0');
        EXPECT_EQ(record.count * 2 + 4, static_cast<int>(line.size()));
        const auto* bytes = record.data.data();
        if (line[1] == '0') {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes),
                                  static_cast<std::size_t>(record.count - 3)),
                      kHeaderText);
        }
        if (line[1] != dataType) {
            continue;
        }
        // The address bytes after the first two lead the data.
        unsigned address = record.address;
        for (int i = 2; i < addressLength; ++i) {
            address = address * 256 + *bytes++;
        }
        const std::size_t size = static_cast<std::size_t>(record.count - 1 - addressLength);
        ASSERT_GE(address, kLoadAddress);
        ASSERT_LE(address - kLoadAddress + size, image.size());
        std::copy(bytes, bytes + size, image.begin() + (address - kLoadAddress));
        bytesSeen += size;
    }
    EXPECT_EQ(bytesSeen, data_.size());
    EXPECT_TRUE(image == data_);
    EXPECT_EQ(CheckFirmwareFile(path_.c_str()), static_cast<int>(lines_.size()));
}

TEST_P(SrecCatTest, EveryChangedDigitIsCaught) {
    // The header, the first and last data lines and the end records; every digit from the
    // count on (the type digit is outside the checksum of every S-record).
    const std::vector<std::size_t> picks = {0, 1, lines_.size() - 3, lines_.size() - 2,
                                            lines_.size() - 1};
    int tried = 0;
    for (const std::size_t pick : picks) {
        const std::string& line = lines_[pick];
        ASSERT_EQ(DecodeSRecord(line, nullptr), 0) << line;
        for (std::size_t at = 2; at < line.size(); ++at) {
            const int digit = HexDigitValue(line[at]);
            for (int other = 0; other < 16; ++other) {
                // A smaller count makes a shorter record that may by chance carry a right
                // checksum inside the data (the decoder ignores what follows a record).
                if (other == digit || (at < 4 && other < digit)) {
                    continue;
                }
                std::string changed = line;
                changed[at] = "0123456789ABCDEF"[other];
                EXPECT_EQ(DecodeSRecord(changed, nullptr), 1) << changed;
                ++tried;
            }
        }
    }
    EXPECT_GT(tried, 1000);
}

INSTANTIATE_TEST_SUITE_P(Files, SrecCatTest,
                         testing::Values(SrecCatCase{2, 16, 1000}, SrecCatCase{2, 125 - 3, 2000},
                                         SrecCatCase{3, 32, 70000}, SrecCatCase{4, 32, 70000},
                                         SrecCatCase{4, 125 - 5, 5000}),
                         [](const testing::TestParamInfo<SrecCatCase>& info) {
                             return "S" + std::to_string(info.param.addressLength - 1) + "Block" +
                                    std::to_string(info.param.blockSize);
                         });

}  // namespace
}  // namespace morva

#include "update/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "test_files.h"

namespace morva {
namespace {

using Lines = std::vector<std::string>;

// The lines from where the file stands to its end.
Lines ReadLines(TextFile* file) {
    Lines lines;
    std::array<char, kLineBufferSize> line{};
    for (;;) {
        const int length = ReadTextLine(file, line.data(), kLineBufferSize);
        if (length == 0) {
            break;
        }
        EXPECT_LT(length, kLineBufferSize);
        EXPECT_EQ(line[static_cast<std::size_t>(length)], '\0');
        lines.emplace_back(line.data(), static_cast<std::size_t>(length));
    }
    // The end stays the end.
    EXPECT_EQ(ReadTextLine(file, line.data(), kLineBufferSize), 0);
    return lines;
}

Lines ReadAllLines(const std::string& path) {
    TextFile file;
    EXPECT_EQ(OpenTextFile(path.c_str(), &file), 1) << path;
    Lines lines = ReadLines(&file);
    CloseTextFile(&file);
    return lines;
}

// What the platform's text mode and a 256-byte fgets make of the bytes, written the plain way.
Lines ReferenceLines(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\x1A'; ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            continue;
        }
        text += bytes[i];
    }
    Lines lines;
    std::string line;
    for (const char c : text) {
        line += c;
        if (c == '\n' || line.size() == kLineBufferSize - 1) {
            lines.push_back(line);
            line.clear();
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

struct ReadCase {
    const char* name;
    std::string bytes;
    Lines lines;
};

class ReadTextLineTest : public testing::TestWithParam<ReadCase> {
  protected:
    test::ScratchFolder scratch_;
};

TEST_P(ReadTextLineTest, ReadsLinesInTextMode) {
    const std::string path = scratch_.Write("file.txt", GetParam().bytes);
    EXPECT_EQ(ReadAllLines(path), GetParam().lines);
}

const std::string k254(254, 'x');
const std::string k255(255, 'y');

INSTANTIATE_TEST_SUITE_P(
    Files, ReadTextLineTest,
    testing::Values(ReadCase{"Empty", "", {}}, ReadCase{"LineFeeds", "a\nb\n", {"a\n", "b\n"}},
                    ReadCase{"CarriageReturnLineFeed", "a\r\nb\r\n", {"a\n", "b\n"}},
                    ReadCase{"LoneCarriageReturnStays", "a\rb\n", {"a\rb\n"}},
                    ReadCase{"CarriageReturnAtEnd", "a\r", {"a\r"}},
                    ReadCase{"TwoCarriageReturns", "a\r\r\n", {"a\r\n"}},
                    ReadCase{"NoFinalNewline", "a\nb", {"a\n", "b"}},
                    ReadCase{"EmptyLines", "\n\r\n", {"\n", "\n"}},
                    ReadCase{"EndOfDataAfterLastLine", "a\n\x1A", {"a\n"}},
                    ReadCase{"BytesAfterEndOfDataIgnored",
                             "a\n\x1A"
                             "b\n",
                             {"a\n"}},
                    ReadCase{"EndOfDataInsideLine",
                             "ab\x1A"
                             "cd\n",
                             {"ab"}},
                    ReadCase{"EndOfDataOnly", "\x1A", {}},
                    ReadCase{"CarriageReturnBeforeEndOfData", "a\r\x1A\n", {"a\r"}},
                    ReadCase{"ZeroByteKept", std::string("a\0b\n", 4), {std::string("a\0b\n", 4)}},
                    ReadCase{"LongestLine", k254 + "\n", {k254 + "\n"}},
                    ReadCase{"LongestLineCrLf", k254 + "\r\n", {k254 + "\n"}},
                    ReadCase{"LineOneTooLong", k255 + "\r\n", {k255, "\n"}},
                    ReadCase{"LineSplitInPieces", k255 + k255 + "zz\n", {k255, k255, "zz\n"}}),
    [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

class TextFileTest : public testing::Test {
  protected:
    test::ScratchFolder scratch_;
};

TEST_F(TextFileTest, CarriageReturnAtEndOfReadBlock) {
    // The pair, or the lone carriage return, straddles two reads of the block buffer.
    for (const char after : {'\n', 'x', '\x1A'}) {
        std::string bytes(kTextReadBufferSize - 1, 'a');
        for (std::size_t i = 100; i < bytes.size(); i += 100) {
            bytes[i] = '\n';
        }
        bytes += '\r';
        bytes += after;
        bytes += "tail\r\n";
        const std::string path = scratch_.Write("edge.txt", bytes);
        EXPECT_EQ(ReadAllLines(path), ReferenceLines(bytes)) << int{after};
    }
}

TEST_F(TextFileTest, MatchesTextModeOverManyBlocks) {
    std::mt19937 random(20240611);
    const std::string alphabet = "S0123456789ABCDEF\r\r\n\n";
    for (int round = 0; round < 4; ++round) {
        std::string bytes(3 * kTextReadBufferSize + 777, ' ');
        for (char& c : bytes) {
            c = alphabet[random() % alphabet.size()];
        }
        if (round == 3) {
            bytes[2 * kTextReadBufferSize + 5] = '\x1A';
        }
        const std::string path = scratch_.Write("random.txt", bytes);
        const Lines expected = ReferenceLines(bytes);
        ASSERT_GT(expected.size(), 1000U);
        EXPECT_EQ(ReadAllLines(path), expected) << "round " << round;
    }
}

// A file whose data the read buffer holds whole is not read again: what was read is what the
// rewound file gives, even when the file changed in place meanwhile.
TEST_F(TextFileTest, RewindReadsFromTheStartAgain) {
    struct Case {
        std::size_t size;
        bool endOfData;
        bool readAgain;
    };
    for (const Case c : {Case{48, false, false}, Case{3 * kTextReadBufferSize, false, true},
                         Case{2 * kTextReadBufferSize, true, false}}) {
        std::string bytes;
        while (bytes.size() < c.size) {
            bytes += "S1050010AABB85\r\n";
        }
        if (c.endOfData) {
            bytes[kTextReadBufferSize / 2] = '\x1A';
        }
        const std::string path = scratch_.Write("rewind.txt", bytes);
        TextFile file;
        ASSERT_EQ(OpenTextFile(path.c_str(), &file), 1);
        const Lines first = ReadLines(&file);
        EXPECT_EQ(first, ReferenceLines(bytes)) << c.size;
        std::replace(bytes.begin(), bytes.end(), 'A', 'C');
        scratch_.Write("rewind.txt", bytes);
        ASSERT_EQ(RewindTextFile(&file), 1);
        EXPECT_EQ(ReadLines(&file), c.readAgain ? ReferenceLines(bytes) : first) << c.size;
    }
}

TEST_F(TextFileTest, FolderAndMissingFileDoNotOpen) {
    TextFile file;
    EXPECT_EQ(OpenTextFile(scratch_.Path("").c_str(), &file), 0);
    EXPECT_EQ(OpenTextFile(scratch_.Path("missing.mot").c_str(), &file), 0);
    std::array<char, kLineBufferSize> line{};
    EXPECT_EQ(ReadTextLine(&file, line.data(), kLineBufferSize), 0);
}

}  // namespace
}  // namespace morva

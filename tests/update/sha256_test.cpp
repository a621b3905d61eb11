// The SHA-256 of the run record against the published test vectors (FIPS 180-2 examples), fed
// in pieces of several sizes so that block boundaries fall everywhere; and the digest that the
// file check takes, which must be that of the file's bytes, also past a 0x1A end mark.
#include "common/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "test_files.h"
#include "update/firmware_check.h"

namespace morva {
namespace {

std::string Hex(const std::array<unsigned char, kSha256Size>& sum) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : sum) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string Digest(const std::string& bytes, std::size_t piece) {
    Sha256 hash;
    EXPECT_EQ(BeginSha256(&hash), 1);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        AddToSha256(&hash, bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    std::array<unsigned char, kSha256Size> sum{};
    EXPECT_EQ(EndSha256(&hash, &sum), 1);
    return Hex(sum);
}

struct Vector {
    const char* name;
    std::string message;
    const char* sum;
};

void PrintTo(const Vector& v, std::ostream* os) {
    *os << v.name;
}

class Sha256Vectors : public testing::TestWithParam<Vector> {};

// Both ways of the program's own rounds: the CPU's SHA instructions where it has them, and
// the plain code that every other CPU runs.
TEST_P(Sha256Vectors, MatchesPublishedSum) {
    for (const bool plain : {false, true}) {
        ForcePlainSha256(plain);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{55}, std::size_t{64},
                                        std::size_t{1000}, std::size_t{1} << 20}) {
            EXPECT_EQ(Digest(GetParam().message, piece), GetParam().sum)
                << "pieces of " << piece << (plain ? ", plain rounds" : "");
        }
    }
    ForcePlainSha256(false);
}

INSTANTIATE_TEST_SUITE_P(
    Published, Sha256Vectors,
    testing::Values(
        Vector{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"Bits448", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Vector{"MillionA", std::string(1000000, 'a'),
               "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const testing::TestParamInfo<Vector>& info) { return std::string(info.param.name); });

// A file larger than one read, with CR LF line ends and bytes after a 0x1A end mark: the
// check's digest covers every byte of the file, as sha256sum reads it; also when a carriage
// return is the last byte of a 64 KiB read, so that its line end comes with the next read.
TEST(CheckDigest, CoversEveryByteOfTheFile) {
    constexpr std::size_t kRead = 64 * 1024;
    for (const bool crAtTheReadEnd : {false, true}) {
        SCOPED_TRACE(crAtTheReadEnd ? "CR at the end of a read" : "plain");
        test::ScratchFolder scratch;
        std::string bytes = test::MakeHeader("KRT07Q_X") + "\r\n";
        // Lines of 15 bytes (LF) shift the 16-byte lines (CR LF) until one's CR ends a read.
        while (crAtTheReadEnd && bytes.size() % 16 != (kRead - 15) % 16) {
            bytes += "S1050010AABB85\n";
        }
        while (bytes.size() < 3 * kRead) {
            bytes += "S1050010AABB85\r\n";
        }
        ASSERT_TRUE(!crAtTheReadEnd || bytes[kRead - 1] == '\r');
        bytes += "S9030000FC\r\n\x1A" + std::string(70 * 1024, 'z');
        const std::string path = scratch.Write("fw.mot", bytes);
        ReadDigest digest;
        ASSERT_EQ(BeginSha256(&digest.sha256), 1);
        EXPECT_GT(CheckFirmwareFile(path.c_str(), nullptr, &digest), 1);
        std::array<unsigned char, kSha256Size> sum{};
        ASSERT_EQ(EndSha256(&digest.sha256, &sum), 1);
        EXPECT_EQ(Hex(sum), Digest(bytes, 4096));
        EXPECT_EQ(digest.bytes, static_cast<long long>(bytes.size()));
    }
}

}  // namespace
}  // namespace morva

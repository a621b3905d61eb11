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

// FNV-1a over the line's bytes: cheap against the exchange each line costs.
std::uint64_t AddToDigest(std::uint64_t digest, const char* bytes, int length) {
    constexpr std::uint64_t kPrime = 0x100000001B3U;
    for (int i = 0; i < length; ++i) {
        digest = (digest ^ static_cast<unsigned char>(bytes[i])) * kPrime;
    }
    return digest;
}

}  // namespace

int CheckFirmwareLine(const char* line, int length, FirmwareSummary* summary) {
    const auto size = static_cast<std::size_t>(length);
    // Text mode leaves only a carriage return that ends no line: the device would take it for a
    // line end and the rest of the line for a line of its own, never checked. The exchange
    // sends up to a zero byte: the rest of the line would never reach the device.
    if (std::memchr(line, '\r', size) != nullptr || std::memchr(line, '\0', size) != nullptr) {
        return 0;
    }
    SRecord record{};
    if (DecodeSRecord({line, size}, &record) != 0) {
        return 0;
    }
    if (record.type == 0 && CheckHeader(record) == 0) {
        return 0;
    }
    if (summary->lines == INT_MAX) {
        return 0;  // more lines than the count can hold: no firmware file is that long
    }
    ++summary->lines;
    summary->digest = AddToDigest(summary->digest, line, length);
    return 1;
}

int CheckFirmwareText(TextFile* file, FirmwareSummary* summary) {
    std::array<char, kLineBufferSize> line{};
    for (;;) {
        const int length = ReadTextLine(file, line.data(), kLineBufferSize);
        if (length == 0) {
            return summary->lines;
        }
        if (CheckFirmwareLine(line.data(), length, summary) == 0) {
            return 0;
        }
    }
}

int CheckFirmwareFile(const char* path, FirmwareSummary* summary, ReadDigest* digest) {
    TextFile file;  // closed on every return
    if (OpenTextFile(path, &file) == 0) {
        return 1;
    }
    file.digest = digest;
    FirmwareSummary read;
    const int lines = CheckFirmwareText(&file, &read);
    if (lines > 0) {
        ReadRestOfFile(&file);
    }
    if (summary != nullptr) {
        *summary = read;
    }
    return lines;
}

}  // namespace morva

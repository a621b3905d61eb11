// Scratch files for the update tests: a fresh folder per fixture, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace morva::test {

class ScratchFolder {
  public:
    ScratchFolder() {
        std::random_device entropy;
        folder_ = std::filesystem::temp_directory_path() /
                  ("morva-update-" + std::to_string(entropy()) + "-" + std::to_string(entropy()));
        std::filesystem::create_directories(folder_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string Path(std::string_view name) const { return (folder_ / name).string(); }

    std::string Write(std::string_view name, std::string_view bytes) const {
        const std::string path = Path(name);
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good()) << path;
        return path;
    }

  private:
    std::filesystem::path folder_;
};

// One S-record line with its checksum, built from the record's bytes after the count.
inline std::string MakeRecord(char type, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string line = {'S', type};
    unsigned sum = 0;
    auto append = [&line, &sum](unsigned value) {
        line += kDigits[(value >> 4) & 0xF];
        line += kDigits[value & 0xF];
        sum += value;
    };
    append(static_cast<unsigned>(bytes.size() + 1));
    for (const char c : bytes) {
        append(static_cast<std::uint8_t>(c));
    }
    append(~sum & 0xFF);
    return line;
}

// An S0 line: address 0000, then the header text.
inline std::string MakeHeader(std::string_view text) {
    return MakeRecord('0', std::string(2, '\0') + std::string(text));
}

}  // namespace morva::test

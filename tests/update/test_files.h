// Scratch files for the update tests: a fresh folder per fixture, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

#include "scratch_folder.h"

namespace morva::test {

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

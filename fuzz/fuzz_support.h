// Helpers shared by the fuzz targets: a private work folder, silenced standard output, exactly
// sized copies of input bytes (so that AddressSanitizer sees every overread), and the script of
// the fake port taken from input bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "fake_serial.h"

namespace fuzz {

// Stops the target when a property that must hold for every input does not.
inline void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// Creates a fresh folder under TMPDIR and makes it the working directory; the program's output
// goes to /dev/null from then on (libFuzzer reports on standard error).
inline std::string EnterWorkFolder(const char* name) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    Require(mkdtemp(pattern.data()) != nullptr);
    std::filesystem::current_path(pattern);
    Require(std::freopen("/dev/null", "w", stdout) != nullptr);
    return pattern;
}

inline void WriteWholeFile(const std::string& path, std::string_view bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    Require(file != nullptr);
    Require(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    Require(std::fclose(file) == 0);
}

inline std::string ReadWholeFile(const std::string& path) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return text;
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}

// A heap copy of exactly `bytes`, plus a terminator when asked for.
inline std::unique_ptr<char[]> ExactCopy(std::string_view bytes, bool terminate) {
    std::unique_ptr<char[]> copy(new char[bytes.size() + (terminate ? 1 : 0)]);
    if (!bytes.empty()) {
        std::memcpy(copy.get(), bytes.data(), bytes.size());
    }
    if (terminate) {
        copy[bytes.size()] = '\0';
    }
    return copy;
}

// Fills the fake port's script from `bytes`:
//   header: bit 0 the open fails, bit 1 the write fails, bits 4-7 n > 0: read call n - 1 fails;
//   then records, one control byte c each, by c & 3:
//     0  a poll at which the next c >> 2 bytes of the input arrive
//     1  a poll reporting the line-error word c >> 2 (0: a clean poll)
//     2  a poll whose status query fails
//     3  (c >> 2) + 1 clean polls with nothing arriving
// When the script runs out the port stays quiet, and the receive ends at its poll limit.
inline void ScriptPort(std::string_view bytes) {
    fake::Reset();
    if (bytes.empty()) {
        return;
    }
    fake::Script& script = fake::Scripted();
    const auto header = static_cast<unsigned char>(bytes[0]);
    script.openFails = (header & 1) != 0;
    script.writeFails = (header & 2) != 0;
    script.readFailsAt = (header >> 4) - 1;
    bytes.remove_prefix(1);
    while (!bytes.empty()) {
        const auto control = static_cast<unsigned char>(bytes[0]);
        bytes.remove_prefix(1);
        const unsigned value = control >> 2;
        fake::Poll poll;
        switch (control & 3) {
            case 0: {
                const std::size_t n = std::min<std::size_t>(value, bytes.size());
                poll.arriving.assign(bytes.data(), n);
                bytes.remove_prefix(n);
                break;
            }
            case 1:
                poll.errorWord = value;
                break;
            case 2:
                poll.queryFails = true;
                break;
            default:
                for (unsigned i = 0; i < value; ++i) {
                    script.polls.push_back(fake::Poll{});
                }
                break;
        }
        script.polls.push_back(poll);
    }
}

}  // namespace fuzz

// The whole command line: option scan, checks, lookup and every handler, with the device's
// reply bytes and the port's faults scripted from the same input.
//
// Input: the command line, then a zero byte, then the settings byte and the port script
// (fuzz_support.h). The command line is split at line feeds into the words after the program
// path; "-c\n3\nUTID" is the command line -c 3 UTID, a lone zero byte one empty word, and only
// the empty input has no word at all. Settings byte, bits 0-1: no morva.ini,
// port=3, port=abc, or a file without the section; bit 2: the first word is the program path
// (relative and without "..", so that the settings search stays inside the work folder, which
// is also the current directory and the only PATH entry); bit 3: two bytes of length n (low
// byte first) and n bytes follow, the content of fw.mot for this run instead of a valid file.
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/verbose.h"
#include "front/front.h"
#include "fuzz_support.h"

namespace {

std::string g_folder;    // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
std::string g_firmware;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

std::string SRecordLine(char type, unsigned address, std::string_view data) {
    const unsigned count = 2 + static_cast<unsigned>(data.size()) + 1;
    unsigned sum = count + (address >> 8) + (address & 0xFF);
    std::string line = std::string("S") + type;
    char hex[3];
    auto put = [&](unsigned byte) {
        std::snprintf(hex, sizeof hex, "%02X", byte & 0xFF);
        line += hex;
    };
    put(count);
    put(address >> 8);
    put(address);
    for (const char c : data) {
        put(static_cast<unsigned char>(c));
        sum += static_cast<unsigned char>(c);
    }
    put(255 - (sum & 0xFF));
    return line + "\r\n";
}

bool Allowed(int exitCode) {
    return (exitCode >= 0 && exitCode <= 6) || (exitCode >= 101 && exitCode <= 105);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    g_folder = fuzz::EnterWorkFolder("morva-fuzz-front");
    fuzz::Require(setenv("PATH", g_folder.c_str(), 1) == 0);
    // The settings search finds morva.ini beside this file, the program path of every run.
    fuzz::WriteWholeFile(g_folder + "/morva", "");
    // A valid firmware file, so that UPDT fw.mot reaches the transfer passes.
    g_firmware = SRecordLine('0', 0, "KRT07Q_FUZZ") + SRecordLine('1', 0x1000, "\x01\x02\x03\x04") +
                 SRecordLine('9', 0, "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t zero = input.find('\0');
    const std::string_view line = input.substr(0, zero);
    std::string_view rest =
        zero == std::string_view::npos ? std::string_view() : input.substr(zero + 1);
    // A path naming a device or system file could block a firmware read for good.
    if (line.find("/dev/") != std::string_view::npos ||
        line.find("/proc/") != std::string_view::npos ||
        line.find("/sys/") != std::string_view::npos) {
        return -1;
    }

    const std::string iniPath = g_folder + "/morva.ini";
    unlink(iniPath.c_str());
    const unsigned flags = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]);
    if (!rest.empty()) {
        rest.remove_prefix(1);
    }
    const unsigned settings = flags & 3;
    const bool ownProgramPath = (flags & 4) != 0;
    if (ownProgramPath &&
        (line.empty() || line[0] == '/' || line.find("..") != std::string_view::npos)) {
        return -1;
    }
    constexpr const char* kIniTexts[] = {nullptr, "[morva]\r\nport=3\r\n", "[morva]\nport=abc\n",
                                         "[other]\nport=3\n"};
    if (kIniTexts[settings] != nullptr) {
        fuzz::WriteWholeFile(iniPath, kIniTexts[settings]);
    }
    std::string_view firmware = g_firmware;
    if ((flags & 8) != 0 && rest.size() >= 2) {
        const std::size_t length =
            static_cast<unsigned char>(rest[0]) +
            static_cast<std::size_t>(static_cast<unsigned char>(rest[1])) * 256;
        rest.remove_prefix(2);
        firmware = rest.substr(0, length);
        rest.remove_prefix(firmware.size());
    }
    fuzz::WriteWholeFile(g_folder + "/fw.mot", firmware);
    fuzz::ScriptPort(rest);
    morva::SetVerboseLevel(0);

    // Every word in a buffer of its own size, and the absent entry after the last word.
    std::vector<std::unique_ptr<char[]>> words;
    if (!ownProgramPath) {
        words.push_back(fuzz::ExactCopy(g_folder + "/morva", true));
    }
    if (!input.empty()) {
        std::string_view left = line;
        for (;;) {
            const std::size_t end = left.find('\n');
            words.push_back(fuzz::ExactCopy(left.substr(0, end), true));
            if (end == std::string_view::npos) {
                break;
            }
            left.remove_prefix(end + 1);
        }
    }
    std::unique_ptr<const char*[]> argv(new const char*[words.size() + 1]);
    for (std::size_t i = 0; i < words.size(); ++i) {
        argv[i] = words[i].get();
    }
    argv[words.size()] = nullptr;

    if (words.empty()) {
        return -1;
    }
    const int exitCode = morva::RunFront(static_cast<int>(words.size()), argv.get());
    fuzz::Require(Allowed(exitCode));
    fuzz::Require(fake::Recorded().opens == fake::Recorded().closes);
    return 0;
}

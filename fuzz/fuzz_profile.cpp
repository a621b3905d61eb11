// The POSIX profile file on arbitrary content: read, then the store of [morva] port=<value>,
// then read back. Every line that the store does not change keeps its bytes, the key reads
// back as written, and a second store of the same value changes nothing.
//
// Input: four bytes of port number and a length byte, that many bytes of text after the number
// (cut at a line end, as a value is one line), then the file content.
#include <cstring>
#include <string>
#include <string_view>

#include "common/text.h"
#include "fuzz_support.h"
#include "settings/profile.h"

namespace {

std::string g_path;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

constexpr char kSection[] = "morva";
constexpr char kKey[] = "port";
constexpr int kMissing = -1;

std::size_t CountLineFeeds(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += c == '\n' ? 1 : 0;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    g_path = fuzz::EnterWorkFolder("morva-fuzz-profile") + "/morva.ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.size() < 5) {
        return -1;
    }
    std::int32_t number = 0;
    std::memcpy(&number, input.data(), sizeof number);
    const std::size_t tailLength =
        std::min<std::size_t>(static_cast<unsigned char>(input[4]), input.size() - 5);
    std::string tail(input.substr(5, tailLength));
    input.remove_prefix(5 + tailLength);
    // The value as SCOM stores it: a number and whatever followed it in the word, which never
    // begins with a digit and never holds a line end or a zero byte.
    tail = tail.substr(0, tail.find_first_of(std::string_view("\r\n\0", 3)));
    if (!tail.empty() && tail[0] >= '0' && tail[0] <= '9') {
        tail.insert(0, "x");
    }
    const std::string value = std::to_string(number) + tail;
    const std::string before(input);

    fuzz::WriteWholeFile(g_path, before);
    morva::ReadProfileInt(kSection, kKey, kMissing, g_path.c_str());
    morva::WriteProfileText(kSection, kKey, value.c_str(), g_path.c_str());
    const std::string after = fuzz::ReadWholeFile(g_path);
    fuzz::Require(morva::ReadProfileInt(kSection, kKey, kMissing, g_path.c_str()) ==
                  morva::ReadLeadingInt(value.c_str()));

    // Lines outside the changed stretch are the old bytes: the old stretch lies within one
    // line (the key's old value), the new one holds at most a line end put after an unended
    // last line, a section line and the key line.
    std::size_t head = 0;
    while (head < before.size() && head < after.size() && before[head] == after[head]) {
        ++head;
    }
    std::size_t tailSame = 0;
    while (tailSame < before.size() - head && tailSame < after.size() - head &&
           before[before.size() - 1 - tailSame] == after[after.size() - 1 - tailSame]) {
        ++tailSame;
    }
    const std::string_view oldStretch =
        std::string_view(before).substr(head, before.size() - head - tailSame);
    const std::string_view newStretch =
        std::string_view(after).substr(head, after.size() - head - tailSame);
    fuzz::Require(CountLineFeeds(oldStretch) == 0);
    fuzz::Require(CountLineFeeds(newStretch) <= 3);

    morva::WriteProfileText(kSection, kKey, value.c_str(), g_path.c_str());
    fuzz::Require(fuzz::ReadWholeFile(g_path) == after);
    return 0;
}

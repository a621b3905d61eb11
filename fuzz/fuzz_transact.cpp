// One command exchange against the fake port, with the reply arriving in arbitrary pieces and
// the port failing anywhere.
//
// Input: the mode byte (bits 0-1: reply-string, reply-byte, another mode value, reply-string
// without a reply place; bit 2: verbose level 1; bit 3: 256 more command bytes), four bytes of
// port number, a length byte and that many bytes of command text, then the port script
// (fuzz_support.h).
#include <cstring>
#include <string_view>

#include "common/verbose.h"
#include "fuzz_support.h"
#include "link/transact.h"

namespace {

constexpr std::size_t kOpenMessagePlace = 27;  // "Cannot open COM-2147483648" and its NUL
constexpr char kUnwritten = '\x5A';

bool Allowed(int result) {
    return result == 0 || result == 3 || (result >= 101 && result <= 105);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fuzz::EnterWorkFolder("morva-fuzz-transact");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.size() < 6) {
        return -1;
    }
    const auto modeByte = static_cast<unsigned char>(input[0]);
    std::uint32_t portBits = 0;
    std::memcpy(&portBits, input.data() + 1, sizeof portBits);
    const auto port = static_cast<std::int32_t>(portBits);
    const std::size_t commandLength = std::min<std::size_t>(
        static_cast<unsigned char>(input[5]) + ((modeByte & 8) != 0 ? 256 : 0), input.size() - 6);
    const auto command = fuzz::ExactCopy(input.substr(6, commandLength), true);
    input.remove_prefix(6 + commandLength);

    constexpr int kModes[] = {morva::kReplyString, morva::kReplyByte, 7, morva::kReplyString};
    const int mode = kModes[modeByte & 3];
    const bool noReplyPlace = (modeByte & 3) == 3;
    morva::SetVerboseLevel((modeByte & 4) != 0 ? 1 : 0);
    fuzz::ScriptPort(input);

    // The reply place is exactly as large as the mode's contract asks.
    const std::size_t placeSize =
        mode == morva::kReplyString ? morva::kReplyPlaceSize : kOpenMessagePlace;
    const auto reply = fuzz::ExactCopy(std::string(placeSize, kUnwritten), false);
    const int result =
        morva::TransactCommand(port, mode, command.get(), noReplyPlace ? nullptr : reply.get());

    fuzz::Require(Allowed(result));
    fuzz::Require(fake::Recorded().opens == fake::Recorded().closes);
    fuzz::Require(fake::Recorded().written.size() <= morva::kCommandTextMax);
    if (mode == morva::kReplyString && !noReplyPlace) {
        fuzz::Require(std::memchr(reply.get(), '\0', placeSize) != nullptr);
    }
    if (mode == morva::kReplyByte && result != 3) {
        // Only the first position may change.
        for (std::size_t i = 1; i < placeSize; ++i) {
            fuzz::Require(reply[i] == kUnwritten);
        }
        fuzz::Require(result != 105);
    }
    return 0;
}

// The firmware file check on arbitrary file content: line pieces, 0x1A, CR and LF in any
// order, headers with and without the firmware prefix, at verbose level 1 so that the
// rejection message with the header text is printed too.
#include <string>

#include "common/verbose.h"
#include "fuzz_support.h"
#include "update/firmware_check.h"

namespace {
std::string g_path;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    g_path = fuzz::EnterWorkFolder("morva-fuzz-firmware") + "/firmware.mot";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::WriteWholeFile(g_path, {reinterpret_cast<const char*>(data), size});
    morva::SetVerboseLevel(1);
    const int lines = morva::CheckFirmwareFile(g_path.c_str());
    // Every counted line is at least one byte of the file.
    fuzz::Require(lines >= 0 && static_cast<std::size_t>(lines) <= size);
    return 0;
}

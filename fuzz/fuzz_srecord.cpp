// S-record decoding of arbitrary bytes. The line lies in a buffer of exactly its size, so that
// a read of one position past it is caught.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "update/srecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto line = fuzz::ExactCopy({reinterpret_cast<const char*>(data), size}, false);
    const std::string_view view(line.get(), size);

    morva::SRecord record;
    std::memset(&record, 0xA5, sizeof record);
    morva::SRecord untouched;
    std::memcpy(&untouched, &record, sizeof record);

    const int result = morva::DecodeSRecord(view, &record);
    fuzz::Require(result == 0 || result == 1);
    // Without a record to fill the checksum test must come out the same.
    fuzz::Require(morva::DecodeSRecord(view, nullptr) == result);
    if (result != 0) {
        fuzz::Require(std::memcmp(&record, &untouched, sizeof record) == 0);
        return 0;
    }
    fuzz::Require(record.count >= 0 && record.count <= 255);
    fuzz::Require(size >= std::max<std::size_t>(8, 4 + 2 * static_cast<std::size_t>(record.count)));
    return 0;
}

// The test of a whole firmware file before anything of it is sent to the device.
#pragma once

#include <cstdint>

#include "update/text_file.h"

namespace morva {

// Header text that every S0 record of a Tarvex firmware file begins with.
inline constexpr char kFirmwarePrefix[] = "KRT07Q_";

// What one read of a firmware file met: the lines that passed the check so far and a digest
// (FNV-1a) of their bytes as read. A later read of the file is the checked file when it gives
// the same count and digest.
struct FirmwareSummary {
    int lines = 0;
    std::uint64_t digest = 0xCBF29CE484222325U;
};

// Checks one line as ReadTextLine gave it (`length` characters) and, when it passes, adds it to
// `summary`. Returns 1 when it passes: a right checksum, no carriage return or zero byte before
// its line end, and an S0 header text that begins with kFirmwarePrefix (else a message at
// verbose level 1 and above); 0 otherwise.
int CheckFirmwareLine(const char* line, int length, FirmwareSummary* summary);

// Checks every line of an open file from where it stands to its end. Returns the number of
// lines when all pass, 0 at the first that does not or for a file without lines.
int CheckFirmwareText(TextFile* file, FirmwareSummary* summary);

// Decodes every line of the file at `path` (read as by ReadTextLine) and tests each S0 header.
// Returns the number of lines when every line passes CheckFirmwareLine; 0 for a line that does
// not or an empty file; 1 when the file cannot be opened (a folder included). A line of more
// than 255 characters counts as its pieces, each decoded on its own. `summary`, when given,
// receives what the check read; `digest`, when given, every byte of a file that passes.
int CheckFirmwareFile(const char* path, FirmwareSummary* summary = nullptr,
                      ReadDigest* digest = nullptr);

}  // namespace morva

// The test of a whole firmware file before anything of it is sent to the device.
#pragma once

namespace morva {

// Header text that every S0 record of a Tarvex firmware file begins with.
inline constexpr char kFirmwarePrefix[] = "KRT07Q_";

// Decodes every line of the file at `path` (read as by ReadTextLine) and tests each S0 header.
// Returns the number of lines when every checksum is right and every header text begins with
// kFirmwarePrefix; 0 for a bad checksum, a foreign header (with a message at verbose level 1
// and above) or an empty file; 1 when the file cannot be opened (a folder included). A line of
// more than 255 characters counts as its pieces, each decoded on its own.
int CheckFirmwareFile(const char* path);

}  // namespace morva

#include "update/update.h"

#include "common/exit_codes.h"

// Placeholder until the firmware update is in place.
namespace morva {

int UpdateFirmware(int /*port*/, int /*flash*/, const char* /*path*/) { return kExitCommand; }

int TransferFirmware(int /*port*/, const char* /*path*/, int /*pass*/, int /*total*/) {
    return kExitCommand;
}

}  // namespace morva

// The serial devices that Linux has, read from sysfs (class/tty) without opening any of them.
#pragma once

#include <sys/types.h>

#include <array>

namespace morva {

struct SerialTty {
    std::array<char, 64> name{};     // kernel name: "ttyUSB0"
    dev_t device = 0;                // from its `dev` ("188:0")
    std::array<char, 64> driver{};   // "ftdi_sio", "cdc_acm", "serial8250"; "" when unknown
    std::array<char, 16> usbId{};    // "0403:6001"; "" for a device that is not on USB
    std::array<char, 128> serial{};  // the USB device's serial number; "" when it has none
};

// At most this many devices are listed.
inline constexpr int kSerialTtyLimit = 1024;

// Fills `ttys` (room for `capacity`) with the serial devices under `sysRoot`/class/tty (sysRoot
// is "/sys" on a running system), sorted by name: the entries with a device behind them,
// virtual consoles and placeholders of absent UARTs left out. Returns their count, or -1 when
// the folder cannot be read; `leftOut` counts the devices past the room.
int ListSerialTtys(const char* sysRoot, SerialTty* ttys, int capacity, int* leftOut);

// The path of a link in `byIdFolder` ("/dev/serial/by-id") that names the tty `name`, in `link`
// (`size` bytes); false when there is none.
bool FindByIdLink(const char* byIdFolder, const char* name, char* link, int size);

}  // namespace morva

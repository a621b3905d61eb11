// The COM port numbers of the Linux build and the tty devices that they name: the folder of
// links in MORVA_PORTS when it is set and not empty, else a fixed map of device names, the same
// on every machine whatever is plugged in, so that a stored number keeps naming one name.
#pragma once

#include <sys/types.h>

namespace morva {

// The numbers that a port can have: COM1 to COM256.
inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 256;

// The default map's device of COM `port` in `path` (`size` bytes): 1, or 0 when the map gives
// the number no device (0 and below, 129 and above).
int DefaultPortPath(int port, char* path, int size);

// The number that the default map gives the device path `path` ("/dev/ttyUSB0": 33); 0 for a
// path that it gives none.
int DefaultPortNumber(const char* path);

// True when the tty whose sysfs folder is `folder` is a placeholder that Linux makes for an
// absent 8250 UART (its `type` reads 0): a port that cannot be opened, told without opening it.
bool IsPlaceholderTty(const char* folder);

// True when `device` is a tty of the serial or pseudo-terminal slave kind: what a COM port may
// name. Not a pseudo-terminal master, /dev/tty, /dev/console or a virtual console, and nothing
// outside sysfs's tty class (a watchdog is armed by its open alone).
bool IsSerialTty(dev_t device);

// The lowest COM number that names the character device `device` under the map in force; 0
// for none.
int PortOfDevice(dev_t device);

}  // namespace morva

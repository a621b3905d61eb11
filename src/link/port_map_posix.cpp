// COM port numbers to tty devices and back. The default map is the table below, and only that.
#include "link/port_map_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/guarded_open_posix.h"
#include "link/serial_posix_shared.h"

namespace morva {
namespace {

// Blocks of 32 numbers, each the devices 0 to 31 of one kind; past the last block, no device.
struct PortBlock {
    int first;
    std::string_view prefix;
};
constexpr int kBlockSize = 32;
constexpr std::array<PortBlock, 4> kDefaultMap{{
    {1, "/dev/ttyS"},     // on-board and PCI UARTs (8250)
    {33, "/dev/ttyUSB"},  // USB serial adapters (FTDI, CP210x, CH34x, PL2303, ...)
    {65, "/dev/ttyACM"},  // USB devices of their own (CDC-ACM)
    {97, "/dev/ttyAMA"},  // the UARTs of ARM boards (PL011)
}};

// COM port n is $MORVA_PORTS/com<n> when that variable is set and not empty (a value that is
// no folder makes every port fail to open), else the default map's device.
int FormDevicePath(int port, char* path) {
    const char* folder = std::getenv("MORVA_PORTS");
    if (folder == nullptr || folder[0] == '\0') {
        return DefaultPortPath(port, path, kDevicePathSize);
    }
    const int length = std::snprintf(path, kDevicePathSize, "%s/com%d", folder, port);
    return length > 0 && length < kDevicePathSize ? 1 : 0;
}

// The tty that FindPortDevice found last.
struct stat g_judged {};

}  // namespace

int DefaultPortPath(int port, char* path, int size) {
    for (const PortBlock& block : kDefaultMap) {
        if (port >= block.first && port < block.first + kBlockSize) {
            const int length = std::snprintf(path, static_cast<size_t>(size), "%.*s%d",
                                             static_cast<int>(block.prefix.size()),
                                             block.prefix.data(), port - block.first);
            return length > 0 && length < size ? 1 : 0;
        }
    }
    return 0;
}

int DefaultPortNumber(const char* path) {
    const std::string_view name(path);
    for (const PortBlock& block : kDefaultMap) {
        if (name.size() <= block.prefix.size() ||
            name.substr(0, block.prefix.size()) != block.prefix) {
            continue;
        }
        const std::string_view unit = name.substr(block.prefix.size());
        // "0" to "31" exactly: no sign, no leading zero, nothing after the digits.
        int value = 0;
        for (const char digit : unit) {
            if (digit < '0' || digit > '9' || value >= kBlockSize) {
                return 0;
            }
            value = value * 10 + (digit - '0');
        }
        const bool leadingZero = unit.size() > 1 && unit[0] == '0';
        return !leadingZero && value < kBlockSize ? block.first + value : 0;
    }
    return 0;
}

bool IsPlaceholderTty(const char* folder) {
    std::array<char, 512> path{};
    const int length = std::snprintf(path.data(), path.size(), "%s/type", folder);
    if (length <= 0 || length >= static_cast<int>(path.size())) {
        return false;
    }
    const int fd = open(path.data(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;  // ttys of other drivers have no type: not a placeholder
    }
    std::array<char, 8> type{};
    const ssize_t got = read(fd, type.data(), type.size());
    close(fd);
    return (got == 1 || (got == 2 && type[1] == '\n')) && type[0] == '0';
}

bool IsSerialTty(dev_t device) {
    constexpr unsigned kVirtualConsoleMajor = 4;  // minors 0 to 63; ttyS are 64 and up
    constexpr unsigned kVirtualConsoles = 64;
    constexpr unsigned kSystemTtyMajor = 5;  // /dev/tty, /dev/console, /dev/ptmx, ttyprintk
    constexpr unsigned kBsdPtyMasterMajor = 2;
    constexpr unsigned kPtySlaveFirst = 136;  // Unix 98 pseudo-terminal slaves: 136 to 143
    constexpr unsigned kPtySlaveLast = 143;
    const unsigned kind = major(device);
    if (kind >= kPtySlaveFirst && kind <= kPtySlaveLast) {
        return true;  // pseudo-terminal slaves have no sysfs entry
    }
    if (kind == kSystemTtyMajor || kind == kBsdPtyMasterMajor ||
        (kind == kVirtualConsoleMajor && minor(device) < kVirtualConsoles)) {
        return false;
    }
    // Every other tty is in sysfs's tty class, whatever its driver: a watchdog, a disk or
    // /dev/null is not.
    std::array<char, 64> link{};
    const int length = std::snprintf(link.data(), link.size(), "/sys/dev/char/%u:%u/subsystem",
                                     kind, minor(device));
    std::array<char, 256> target{};
    const ssize_t got = length > 0 && length < static_cast<int>(link.size())
                            ? readlink(link.data(), target.data(), target.size() - 1)
                            : -1;
    if (got <= 0) {
        return false;
    }
    const std::string_view subsystem(target.data(), static_cast<std::size_t>(got));
    constexpr std::string_view kTtyClass = "/tty";
    return subsystem.size() >= kTtyClass.size() &&
           subsystem.substr(subsystem.size() - kTtyClass.size()) == kTtyClass;
}

bool FindPortDevice(int port, char* path, dev_t* device) {
    if (FormDevicePath(port, path) == 0) {
        return false;
    }
    // A ports folder may be another user's: its links are judged as every such name is, and
    // the device is taken by what was judged, not by its name again.
    const int node = OpenGuarded(path, GuardedKind::kDevice);
    if (node < 0) {
        return false;
    }
    struct stat named {};
    std::array<char, 32> self{};
    std::array<char, kDevicePathSize> resolved{};
    const bool found = fstat(node, &named) == 0 &&
                       std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", node) > 0;
    const ssize_t length = found ? readlink(self.data(), resolved.data(), resolved.size() - 1) : -1;
    close(node);
    if (length <= 0 || resolved[0] != '/' || !IsSerialTty(named.st_rdev)) {
        return false;
    }
    std::array<char, 64> folder{};
    const int written = std::snprintf(folder.data(), folder.size(), "/sys/dev/char/%u:%u",
                                      major(named.st_rdev), minor(named.st_rdev));
    if (written > 0 && written < static_cast<int>(folder.size()) &&
        IsPlaceholderTty(folder.data())) {
        return false;
    }
    std::memcpy(path, resolved.data(), static_cast<std::size_t>(length) + 1);
    *device = named.st_rdev;
    g_judged = named;
    return true;
}

const struct stat* JudgedTty(dev_t device) {
    return S_ISCHR(g_judged.st_mode) && g_judged.st_rdev == device ? &g_judged : nullptr;
}

int PortOfDevice(dev_t device) {
    std::array<char, kDevicePathSize> path{};
    for (int port = kFirstPort; port <= kLastPort; ++port) {
        dev_t named = 0;
        if (FindPortDevice(port, path.data(), &named) && named == device) {
            return port;
        }
    }
    return 0;
}

}  // namespace morva

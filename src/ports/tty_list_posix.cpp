// sysfs as Linux lays it out: class/tty/<name> holds `dev` and, for a tty with hardware behind
// it, the link `device`; a USB device is the first folder above it with `idVendor`.
#include "ports/tty_list_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "link/port_map_posix.h"

namespace morva {
namespace {

using Path = std::array<char, PATH_MAX>;

bool Join(Path* path, const char* folder, const char* name) {
    const int length = std::snprintf(path->data(), path->size(), "%s/%s", folder, name);
    return length > 0 && length < static_cast<int>(path->size());
}

// The first line of a small sysfs file, every byte that would split a field turned into '_';
// false when it cannot be read or is empty.
bool ReadAttribute(const char* folder, const char* name, char* text, int size) {
    Path path{};
    if (!Join(&path, folder, name)) {
        return false;
    }
    const int fd = open(path.data(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t got = read(fd, text, static_cast<size_t>(size - 1));
    close(fd);
    if (got <= 0) {
        return false;
    }
    int end = 0;
    while (end < got && text[end] != '\n') {
        const auto byte = static_cast<unsigned char>(text[end]);
        if (byte <= ' ' || byte >= 0x7f) {
            text[end] = '_';
        }
        ++end;
    }
    text[end] = '\0';
    return end > 0;
}

bool IsVirtualConsole(std::string_view name) {
    return name.size() > 3 && name.substr(0, 3) == "tty" &&
           name.find_first_not_of("0123456789", 3) == std::string_view::npos;
}

// Cuts the last part off `path`; false when nothing is left above `floor`.
bool GoUp(char* path, std::string_view floor) {
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr || static_cast<std::size_t>(slash - path) <= floor.size()) {
        return false;
    }
    *slash = '\0';
    return true;
}

// The driver of the device folder `device` or of the first folder above it whose driver is
// not one of the serial core's own ("port", "ctrl" on the serial-base bus).
void FindDriver(Path device, std::string_view floor, SerialTty* tty) {
    do {
        Path link{};
        Path target{};
        if (!Join(&link, device.data(), "driver")) {
            return;
        }
        const ssize_t length = readlink(link.data(), target.data(), target.size() - 1);
        if (length > 0) {
            target[static_cast<std::size_t>(length)] = '\0';
            if (std::strstr(target.data(), "/serial-base/") == nullptr) {
                const char* slash = std::strrchr(target.data(), '/');
                const std::string_view name(slash != nullptr ? slash + 1 : target.data());
                if (name.size() < tty->driver.size()) {
                    name.copy(tty->driver.data(), name.size());
                }
                return;
            }
        }
    } while (GoUp(device.data(), floor));
}

// The vendor and product IDs and the serial number of the USB device above `device`.
void FindUsbDevice(Path device, std::string_view floor, SerialTty* tty) {
    do {
        std::array<char, 8> vendor{};
        std::array<char, 8> product{};
        if (ReadAttribute(device.data(), "idVendor", vendor.data(),
                          static_cast<int>(vendor.size())) &&
            ReadAttribute(device.data(), "idProduct", product.data(),
                          static_cast<int>(product.size()))) {
            static_cast<void>(std::snprintf(tty->usbId.data(), tty->usbId.size(), "%s:%s",
                                            vendor.data(), product.data()));
            ReadAttribute(device.data(), "serial", tty->serial.data(),
                          static_cast<int>(tty->serial.size()));
            return;
        }
    } while (GoUp(device.data(), floor));
}

bool ReadDeviceNumber(const char* folder, dev_t* device) {
    std::array<char, 32> text{};
    if (!ReadAttribute(folder, "dev", text.data(), static_cast<int>(text.size()))) {
        return false;
    }
    char* end = nullptr;
    const unsigned long kind = std::strtoul(text.data(), &end, 10);
    if (end == text.data() || *end != ':') {
        return false;
    }
    const char* unitText = end + 1;
    const unsigned long unit = std::strtoul(unitText, &end, 10);
    if (end == unitText || *end != '\0' || kind > UINT_MAX || unit > UINT_MAX) {
        return false;
    }
    *device = makedev(static_cast<unsigned int>(kind), static_cast<unsigned int>(unit));
    return true;
}

// "ttyS2" before "ttyS10": by the letters before the first digit, then the number that the
// digits make, then the whole name.
bool NameBefore(const SerialTty& a, const SerialTty& b) {
    const std::string_view x(a.name.data());
    const std::string_view y(b.name.data());
    const std::string_view xLetters = x.substr(0, x.find_first_of("0123456789"));
    const std::string_view yLetters = y.substr(0, y.find_first_of("0123456789"));
    if (xLetters != yLetters) {
        return xLetters < yLetters;
    }
    const long long xNumber = std::strtoll(a.name.data() + xLetters.size(), nullptr, 10);
    const long long yNumber = std::strtoll(b.name.data() + yLetters.size(), nullptr, 10);
    return xNumber != yNumber ? xNumber < yNumber : x < y;
}

bool ReadTty(const char* sysRoot, std::string_view floor, const char* name, SerialTty* tty) {
    Path folder{};
    Path link{};
    Path device{};
    struct stat info {};
    const int length =
        std::snprintf(folder.data(), folder.size(), "%s/class/tty/%s", sysRoot, name);
    if (length <= 0 || length >= static_cast<int>(folder.size()) || IsVirtualConsole(name) ||
        !Join(&link, folder.data(), "device") || lstat(link.data(), &info) != 0 ||
        realpath(link.data(), device.data()) == nullptr || IsPlaceholderTty(folder.data()) ||
        !ReadDeviceNumber(folder.data(), &tty->device)) {
        return false;
    }
    const int named = std::snprintf(tty->name.data(), tty->name.size(), "%s", name);
    if (named <= 0 || named >= static_cast<int>(tty->name.size())) {
        return false;
    }
    FindDriver(device, floor, tty);
    FindUsbDevice(device, floor, tty);
    return true;
}

}  // namespace

int ListSerialTtys(const char* sysRoot, SerialTty* ttys, int capacity, int* leftOut) {
    Path classFolder{};
    Path floor{};
    if (!Join(&classFolder, sysRoot, "class/tty") || realpath(sysRoot, floor.data()) == nullptr) {
        return -1;
    }
    DIR* folder = opendir(classFolder.data());
    if (folder == nullptr) {
        return -1;
    }
    int count = 0;
    *leftOut = 0;
    SerialTty beyond{};
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        // Past the room, the devices are still counted, so that none is left out unsaid.
        SerialTty* into = count < capacity ? &ttys[count] : &beyond;
        *into = SerialTty{};
        if (ReadTty(sysRoot, floor.data(), entry->d_name, into)) {
            ++(count < capacity ? count : *leftOut);
        }
    }
    closedir(folder);
    std::sort(ttys, ttys + count, NameBefore);
    return count;
}

bool FindByIdLink(const char* byIdFolder, const char* name, char* link, int size) {
    DIR* folder = opendir(byIdFolder);
    if (folder == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(folder)) {
        Path path{};
        Path target{};
        if (entry->d_name[0] == '.' || !Join(&path, byIdFolder, entry->d_name)) {
            continue;
        }
        // udev's links are relative: "../../ttyUSB0".
        const ssize_t length = readlink(path.data(), target.data(), target.size() - 1);
        if (length <= 0) {
            continue;
        }
        target[static_cast<std::size_t>(length)] = '\0';
        const char* slash = std::strrchr(target.data(), '/');
        // Of several links to one tty, the first by name, whatever order the folder lists.
        if (std::strcmp(slash != nullptr ? slash + 1 : target.data(), name) == 0 &&
            (!found || std::strcmp(path.data(), link) < 0)) {
            const int written = std::snprintf(link, static_cast<size_t>(size), "%s", path.data());
            found = written > 0 && written < size;
        }
    }
    closedir(folder);
    return found;
}

}  // namespace morva

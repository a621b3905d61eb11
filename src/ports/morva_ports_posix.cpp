// morva-ports: the serial devices of this machine, each with the COM number that morva gives
// it and, as far as that can be told without opening the port, why morva would refuse it. The
// numbers and the refusals come from morva's own port code, never from a second copy of it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/guarded_open_posix.h"
#include "link/port_map_posix.h"
#include "link/serial_posix_shared.h"
#include "link/tty_use_posix.h"
#include "ports/port_table.h"
#include "ports/tty_list_posix.h"

namespace morva {
namespace {

constexpr const char* kByIdFolder = "/dev/serial/by-id";
struct Listed {
    int port = 0;
    int order = 0;  // place in the name order of the sysfs list
    TableRow row{};
};

const char* Refusal(dev_t device) {
    switch (TtyUseOf(device)) {
        case TtyUse::kConsole:
            return "console";
        case TtyUse::kControlling:
            return "controlling-terminal";
        case TtyUse::kUucpLock:
            return "uucp-lock";
        case TtyUse::kFree:
            break;
    }
    // Taken and given back at once, as an exchange would take it first.
    const bool held = LockedByAnother(device);
    DropLock();
    return held ? "held-by-morva" : "-";
}

void Describe(const SerialTty& tty, Listed* listed) {
    TableRow& row = listed->row;
    listed->port = PortOfDevice(tty.device);
    if (listed->port > 0) {
        static_cast<void>(std::snprintf(row[0].data(), row[0].size(), "COM%d", listed->port));
    } else {
        FillField(&row[0], "none");
    }
    // sysfs writes the '/' of names in subfolders of /dev as '!'.
    static_cast<void>(std::snprintf(row[1].data(), row[1].size(), "/dev/%s", tty.name.data()));
    std::replace(row[1].begin(), row[1].end(), '!', '/');
    FillField(&row[2], tty.driver.data());
    FillField(&row[3], tty.usbId.data());
    FillField(&row[4], tty.serial.data());
    TableField link{};
    FillField(&row[5], FindByIdLink(kByIdFolder, tty.name.data(), link.data(), link.size())
                           ? link.data()
                           : "");
    FillField(&row[6], Refusal(tty.device));
}

int List() {
    static std::array<SerialTty, kSerialTtyLimit> ttys;
    static std::array<Listed, kSerialTtyLimit> listed;
    int leftOut = 0;
    const int count = ListSerialTtys("/sys", ttys.data(), kSerialTtyLimit, &leftOut);
    if (count <= 0) {
        static_cast<void>(
            std::fprintf(stderr, "morva-ports: %s\n",
                         count < 0 ? "cannot read /sys/class/tty" : "no serial device"));
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        listed[i] = Listed{};
        listed[i].order = i;
        Describe(ttys[i], &listed[i]);
    }
    // In COM-number order; the devices without a number last, by name.
    std::sort(listed.begin(), listed.begin() + count, [](const Listed& a, const Listed& b) {
        const int first = a.port > 0 ? a.port : INT_MAX;
        const int second = b.port > 0 ? b.port : INT_MAX;
        return first != second ? first < second : a.order < b.order;
    });
    static std::array<TableRow, kSerialTtyLimit> rows;
    for (int i = 0; i < count; ++i) {
        rows[i] = listed[i].row;
    }
    PrintTable({"COM", "DEVICE", "DRIVER", "USB-ID", "SERIAL", "BY-ID", "REFUSED"}, rows.data(),
               count);
    if (leftOut > 0) {
        static_cast<void>(
            std::fprintf(stderr, "morva-ports: %d more serial devices not listed\n", leftOut));
        return 1;
    }
    return 0;
}

// The port number of --link: 1 to 256 in decimal digits; 0 for anything else.
int ReadPortNumber(const char* text) {
    int port = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || port > kLastPort) {
            return 0;
        }
        port = port * 10 + (*digit - '0');
    }
    return port >= kFirstPort && port <= kLastPort ? port : 0;
}

// <folder>/com<n> made a link to the device's /dev/serial/by-id name, so that the number stays
// with the device when it comes back under another kernel name; to the device itself where it
// has no such name. An existing link of that name is replaced; anything else is left alone.
int Link(const char* folder, const char* number, const char* deviceName) {
    const int port = ReadPortNumber(number);
    std::array<char, PATH_MAX> device{};
    struct stat info {};
    if (port == 0) {
        static_cast<void>(std::fprintf(
            stderr, "morva-ports: the port number must be 1 to 256, not '%s'\n", number));
        return 2;
    }
    if (realpath(deviceName, device.data()) == nullptr || stat(device.data(), &info) != 0 ||
        !S_ISCHR(info.st_mode) || !IsSerialTty(info.st_rdev)) {
        static_cast<void>(std::fprintf(stderr, "morva-ports: %s is no tty device\n", deviceName));
        return 1;
    }
    std::array<char, PATH_MAX> target{};
    const char* name = std::strrchr(device.data(), '/') + 1;
    if (!FindByIdLink(kByIdFolder, name, target.data(), target.size())) {
        target = device;
    }
    std::array<char, 32> link{};
    std::array<char, 64> made{};
    static_cast<void>(std::snprintf(link.data(), link.size(), "com%d", port));
    static_cast<void>(
        std::snprintf(made.data(), made.size(), ".com%d.%ld", port, static_cast<long>(getpid())));
    // The folder may be another user's: reached as every such name is, and the link made in
    // the folder that was judged.
    const int at = OpenGuarded(folder, GuardedKind::kFolder);
    if (at < 0) {
        std::perror("morva-ports");
        return 1;
    }
    struct stat existing {};
    const bool exists = fstatat(at, link.data(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    const bool foreign =
        exists && S_ISLNK(existing.st_mode) && existing.st_uid != 0 && existing.st_uid != geteuid();
    if (exists && (!S_ISLNK(existing.st_mode) || foreign)) {
        static_cast<void>(
            std::fprintf(stderr, "morva-ports: %s/%s %s\n", folder, link.data(),
                         foreign ? "is a link of another user" : "exists and is not a link"));
        close(at);
        return 1;
    }
    // Made aside and renamed into place: a program that opens the port meanwhile finds either
    // the old link or the new one.
    const bool done = symlinkat(target.data(), at, made.data()) == 0 &&
                      renameat(at, made.data(), at, link.data()) == 0;
    if (!done) {
        std::perror("morva-ports");
        unlinkat(at, made.data(), 0);
    }
    close(at);
    if (!done) {
        return 1;
    }
    std::printf("%s/%s -> %s\n", folder, link.data(), target.data());
    return 0;
}

void PrintUsage(std::FILE* out) {
    static_cast<void>(
        std::fprintf(out,
                     "Usage: morva-ports                            list the serial devices\n"
                     "       morva-ports --link <folder> <n> <device>  make <folder>/com<n> a link "
                     "to the device\n"));
}

}  // namespace
}  // namespace morva

int main(int argc, char** argv) {
    if (argc == 1) {
        return morva::List();
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        morva::PrintUsage(stdout);
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--link") == 0) {
        return morva::Link(argv[2], argv[3], argv[4]);
    }
    morva::PrintUsage(stderr);
    return 2;
}

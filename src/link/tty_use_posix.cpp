// Whether a tty is in use, told from what Linux publishes (/proc, /sys) and from the UUCP lock
// files of other serial programs, without opening the tty.
#include "link/tty_use_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace morva {
namespace {

// Distinct controlling terminals kept, pseudo-terminals /dev/pts/<n> aside. Past that many, a
// tty that is not among them is looked for in a pass over the process list of its own.
constexpr int kTerminalCount = 1024;
constexpr int kConsoleCount = 16;
constexpr int kNameSize = 64;
constexpr int kPathSize = 128;
// Virtual consoles tty0 to tty63 share their major with the ttyS ports, which start at 64.
constexpr unsigned int kVirtualConsoleMajor = 4;
constexpr unsigned int kVirtualConsoleEnd = 64;
// /dev/tty and /dev/console.
constexpr unsigned int kAuxiliaryMajor = 5;
constexpr unsigned int kAuxiliaryConsoleMinor = 1;
constexpr unsigned int kPseudoTerminalMajor = 136;
// /dev/pts/<n> is (136, n), n below 2^20 (MINORBITS).
constexpr unsigned int kSessionTerminalCount = 1U << 20U;
constexpr unsigned int kWordBits = 64;

// What the first call read of the system, kept for the rest of the run.
struct SystemView {
    bool read = false;
    // One bit for each /dev/pts/<n>, set when it is a controlling terminal: sessions, of
    // which a machine may have any number, are told apart without a table that fills up.
    std::array<std::uint64_t, kSessionTerminalCount / kWordBits> sessions{};
    std::array<dev_t, kTerminalCount> controlling{};
    int controllingCount = 0;
    bool controllingOverflow = false;
    std::array<dev_t, kConsoleCount> consoles{};
    int consoleCount = 0;
    bool varLockApart = false;  // /var/lock is not the folder /run/lock
};
SystemView g_view;

// The kernel name of the device asked about last: an update asks about its port per line.
struct NamedDevice {
    bool looked = false;
    dev_t device = 0;
    bool named = false;
    std::array<char, kNameSize> name{};
};
NamedDevice g_named;

// Reads at most size - 1 bytes of what `path` names, opened with `flags`, and ends them with a
// NUL: their count, or -1 with errno set. With `regularOnly`, anything but a regular file is
// not read (EINVAL).
int ReadSmallFile(const char* path, char* buffer, int size, int flags = 0,
                  bool regularOnly = false) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    ssize_t got = -1;
    int error = EINVAL;
    if (!regularOnly || (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))) {
        got = read(fd, buffer, static_cast<size_t>(size - 1));
        error = errno;
    }
    close(fd);
    if (got < 0) {
        errno = error;
        return -1;
    }
    buffer[got] = '\0';
    return static_cast<int>(got);
}

// A UUCP lock file is read only when it is a regular file: any other user may have put a link
// to a terminal or a device, or a FIFO, in its place, and neither is opened for what it leads
// to nor read.
int ReadLockFile(const char* path, char* buffer, int size) {
    return ReadSmallFile(path, buffer, size, O_NOFOLLOW | O_NOCTTY, true);
}

// "<major>:<minor>" at the start of `text`.
bool ParseDeviceNumber(const char* text, dev_t* device) {
    char* end = nullptr;
    const unsigned long kind = std::strtoul(text, &end, 10);
    if (end == text || *end != ':') {
        return false;
    }
    const char* minorText = end + 1;
    const unsigned long unit = std::strtoul(minorText, &end, 10);
    if (end == minorText || kind > UINT_MAX || unit > UINT_MAX) {
        return false;
    }
    *device = makedev(static_cast<unsigned int>(kind), static_cast<unsigned int>(unit));
    return true;
}

// The controlling terminal in a /proc/<pid>/stat line, 0 for none. The command name in
// parentheses may hold blanks and parentheses: the fields follow the last ')', and tty_nr is
// the fifth of them.
dev_t ControllingTerminal(const char* line) {
    const char* field = std::strrchr(line, ')');
    for (int blank = 0; blank < 5 && field != nullptr; ++blank) {
        field = std::strchr(field + 1, ' ');
    }
    if (field == nullptr) {
        return 0;
    }
    char* end = nullptr;
    const long long number = std::strtoll(field + 1, &end, 10);
    // Printed as a signed int: pseudo-terminals past 2^19 set its sign bit.
    if (end == field + 1 || number == 0 || number < INT_MIN || number > UINT_MAX) {
        return 0;
    }
    const auto value = static_cast<unsigned int>(number);
    return makedev((value >> 8U) & 0xfffU, (value & 0xffU) | ((value >> 12U) & 0xfff00U));
}

bool IsSessionTerminal(dev_t device) {
    return major(device) == kPseudoTerminalMajor && minor(device) < kSessionTerminalCount;
}

std::uint64_t SessionBit(dev_t device) {
    return std::uint64_t{1} << (minor(device) % kWordBits);
}

void RememberControlling(SystemView* view, dev_t device) {
    if (IsSessionTerminal(device)) {
        view->sessions[minor(device) / kWordBits] |= SessionBit(device);
        return;
    }
    for (int i = 0; i < view->controllingCount; ++i) {
        if (view->controlling[i] == device) {
            return;
        }
    }
    if (view->controllingCount == kTerminalCount) {
        view->controllingOverflow = true;
        return;
    }
    view->controlling[view->controllingCount++] = device;
}

// One pass over the process list, handing each controlling terminal to `take` until it returns
// false. A process that ends meanwhile is passed over; without /proc no terminal is known.
template <typename Take>
void ForEachControllingTerminal(Take take) {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return;
    }
    bool more = true;
    while (const dirent* entry = more ? readdir(processes) : nullptr) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
            continue;
        }
        std::array<char, kPathSize> path{};
        std::array<char, 512> line{};
        const int length = std::snprintf(path.data(), path.size(), "/proc/%s/stat", entry->d_name);
        if (length <= 0 || length >= kPathSize ||
            ReadSmallFile(path.data(), line.data(), line.size()) <= 0) {
            continue;
        }
        const dev_t terminal = ControllingTerminal(line.data());
        more = terminal == 0 || take(terminal);
    }
    closedir(processes);
}

void ReadControllingTerminals(SystemView* view) {
    ForEachControllingTerminal([view](dev_t terminal) {
        RememberControlling(view, terminal);
        return true;
    });
}

// The devices at the ends of the lines of /proc/consoles ("ttyS0 -W- (EC p a) 4:64").
void ReadConsoles(SystemView* view) {
    std::array<char, 4096> text{};
    if (ReadSmallFile("/proc/consoles", text.data(), text.size()) <= 0) {
        return;
    }
    char* line = text.data();
    while (line != nullptr && *line != '\0' && view->consoleCount < kConsoleCount) {
        char* next = std::strchr(line, '\n');
        if (next != nullptr) {
            *next++ = '\0';
        }
        const char* number = std::strrchr(line, ' ');
        dev_t device = 0;
        if (number != nullptr && ParseDeviceNumber(number + 1, &device)) {
            view->consoles[view->consoleCount++] = device;
        }
        line = next;
    }
}

void ReadSystemView(SystemView* view) {
    view->read = true;
    ReadControllingTerminals(view);
    ReadConsoles(view);
    struct stat run {};
    struct stat var {};
    view->varLockApart =
        stat("/var/lock", &var) == 0 &&
        (stat("/run/lock", &run) != 0 || run.st_dev != var.st_dev || run.st_ino != var.st_ino);
}

bool IsConsole(const SystemView& view, dev_t device) {
    const unsigned int kind = major(device);
    const unsigned int unit = minor(device);
    if ((kind == kVirtualConsoleMajor && unit < kVirtualConsoleEnd) ||
        (kind == kAuxiliaryMajor && unit <= kAuxiliaryConsoleMinor)) {
        return true;
    }
    for (int i = 0; i < view.consoleCount; ++i) {
        if (view.consoles[i] == device) {
            return true;
        }
    }
    return false;
}

// A tty other than /dev/pts/<n> that is not in the table, once it is full, is looked for
// afresh: as many terminals as there may be never make every tty count as in use.
bool IsControlling(const SystemView& view, dev_t device) {
    if (IsSessionTerminal(device)) {
        return (view.sessions[minor(device) / kWordBits] & SessionBit(device)) != 0;
    }
    for (int i = 0; i < view.controllingCount; ++i) {
        if (view.controlling[i] == device) {
            return true;
        }
    }
    bool found = false;
    if (view.controllingOverflow) {
        ForEachControllingTerminal([device, &found](dev_t terminal) {
            found = terminal == device;
            return !found;
        });
    }
    return found;
}

// The device's kernel name ("ttyUSB0", "pts/3"); false when it has none.
bool FindKernelName(dev_t device, char* name) {
    if (major(device) == kPseudoTerminalMajor) {
        const int length = std::snprintf(name, kNameSize, "pts/%u", minor(device));
        return length > 0 && length < kNameSize;
    }
    std::array<char, kPathSize> path{};
    std::array<char, 1024> event{};
    const int length = std::snprintf(path.data(), path.size(), "/sys/dev/char/%u:%u/uevent",
                                     major(device), minor(device));
    if (length <= 0 || length >= kPathSize ||
        ReadSmallFile(path.data(), event.data(), event.size()) <= 0) {
        return false;
    }
    const char* key = event.data();
    while (key != nullptr && std::strncmp(key, "DEVNAME=", 8) != 0) {
        key = std::strchr(key, '\n');
        key = key != nullptr ? key + 1 : nullptr;
    }
    if (key == nullptr) {
        return false;
    }
    const char* value = key + 8;
    const size_t size = std::strcspn(value, "\n");
    if (size == 0 || size >= kNameSize) {
        return false;
    }
    std::memcpy(name, value, size);
    name[size] = '\0';
    return true;
}

bool IsTextByte(char byte) {
    return (byte >= '0' && byte <= '9') || byte == ' ' || byte == '\n';
}

// The process that a lock file names, 0 for none: the PID as ASCII text, blanks before it and
// anything after a blank or line end (some programs add their name and the user), or, as old
// programs write it, as a binary int.
long long LockOwner(const char* text, int count) {
    if (count == static_cast<int>(sizeof(int)) && !(IsTextByte(text[0]) && IsTextByte(text[1]) &&
                                                    IsTextByte(text[2]) && IsTextByte(text[3]))) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary;
    }
    int at = 0;
    while (at < count && text[at] == ' ') {
        ++at;
    }
    long long pid = 0;
    int digits = 0;
    for (; at < count && text[at] >= '0' && text[at] <= '9' && digits < 10; ++at, ++digits) {
        pid = pid * 10 + (text[at] - '0');
    }
    const bool ended = at == count || text[at] == ' ' || text[at] == '\n';
    return digits > 0 && ended ? pid : 0;
}

// True when the lock file LCK..<name> in `folder` names a live process, or exists and cannot
// be read or is no regular file. A lock file of a process that has ended is stale and binds no one.
bool LockedAt(const char* folder, const char* name) {
    std::array<char, kPathSize> path{};
    const int length = std::snprintf(path.data(), path.size(), "%s/LCK..%s", folder, name);
    if (length <= 0 || length >= kPathSize) {
        return false;
    }
    std::array<char, 32> text{};
    const int count = ReadLockFile(path.data(), text.data(), text.size());
    if (count < 0) {
        return errno != ENOENT && errno != ENOTDIR;
    }
    const long long pid = LockOwner(text.data(), count);
    return pid > 0 && pid <= INT_MAX && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

bool LockedInFolders(const SystemView& view, const char* name) {
    return LockedAt("/run/lock", name) || (view.varLockApart && LockedAt("/var/lock", name));
}

// Lock files name a device by its kernel name with '/' as '_' ("LCK..pts_3"), or by the last
// part of its path ("LCK..3").
bool UnderLiveLock(const SystemView& view, dev_t device) {
    if (!g_named.looked || g_named.device != device) {
        g_named.looked = true;
        g_named.device = device;
        g_named.named = FindKernelName(device, g_named.name.data());
    }
    if (!g_named.named) {
        return false;
    }
    std::array<char, kNameSize> flat = g_named.name;
    char* last = std::strrchr(flat.data(), '/');
    for (char* slash = last; slash != nullptr; slash = std::strrchr(flat.data(), '/')) {
        *slash = '_';
    }
    return LockedInFolders(view, flat.data()) ||
           (last != nullptr &&
            LockedInFolders(view, g_named.name.data() + (last - flat.data()) + 1));
}

}  // namespace

TtyUse TtyUseOf(dev_t device) {
    if (!g_view.read) {
        ReadSystemView(&g_view);
    }
    if (IsConsole(g_view, device)) {
        return TtyUse::kConsole;
    }
    if (IsControlling(g_view, device)) {
        return TtyUse::kControlling;
    }
    return UnderLiveLock(g_view, device) ? TtyUse::kUucpLock : TtyUse::kFree;
}

bool TtyInUse(dev_t device) {
    return TtyUseOf(device) != TtyUse::kFree;
}

}  // namespace morva

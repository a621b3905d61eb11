// The lock file of a port's device, taken by each exchange and by the whole-command hold.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/serial_port.h"
#include "link/serial_posix_shared.h"
#include "link/tty_use_posix.h"

namespace morva {
namespace {

constexpr int kLockPathSize = 64;

// The running exchange's lock on the lock file of its device (-1: none).
int g_lockFd = -1;
// The whole-command hold (HoldPort): the lock on the same file, and its device.
int g_holdFd = -1;
dev_t g_holdDevice = 0;

// Every morva must find the lock file of a device in the same folder, whoever runs it.
const char* LockFolder() {
    struct stat info {};
    constexpr mode_t kEveryoneSticky = S_ISVTX | S_IRWXU | S_IRWXG | S_IRWXO;
    if (stat("/run/lock", &info) == 0 && S_ISDIR(info.st_mode) &&
        (info.st_mode & kEveryoneSticky) == kEveryoneSticky) {
        return "/run/lock";
    }
    return "/tmp";
}

constexpr int kLockBusy = -2;

// Opens the lock file of `device`, made (mode 0666, so that any user's morva can lock it) when
// missing; it stays, as the lock files of other serial programs do. Never follows a link or
// opens anything but a regular file. Returns the descriptor; kLockBusy when the name holds
// something that cannot be every morva's lock (a folder, a FIFO, a link, a file that not every
// user may open), which another user may have put there; -1 when none can be made.
bool FormLockPath(dev_t device, char* path) {
    const int length = std::snprintf(path, kLockPathSize, "%s/morva-tty-%u-%u.lock", LockFolder(),
                                     major(device), minor(device));
    return length > 0 && length < kLockPathSize;
}

int OpenLockFile(dev_t device) {
    char path[kLockPathSize];
    if (!FormLockPath(device, path)) {
        return -1;
    }
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(path, kFlags);
    if (fd < 0 && errno == ENOENT) {
        // Opening another user's file with O_CREAT fails in a sticky folder where regular files
        // are protected: create only what is missing.
        fd = open(path, kFlags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            static_cast<void>(fchmod(fd, 0666));  // past the umask
        } else if (errno == EEXIST) {
            fd = open(path, kFlags);
        } else {
            return -1;
        }
    }
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        (info.st_mode & S_IROTH) != 0) {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    return kLockBusy;
}

// Reads a small system file whole into `text` (terminated); false when it cannot be read.
template <std::size_t N>
bool ReadSmallFile(const char* path, std::array<char, N>* text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t used = 0;
    ssize_t got = 0;
    while (used + 1 < N && (got = read(fd, text->data() + used, N - 1 - used)) > 0) {
        used += static_cast<std::size_t>(got);
    }
    close(fd);
    (*text)[used] = '\0';
    return got >= 0;
}

// The numbers after `key` on its line of a /proc/<pid>/status text, at most `capacity`.
int StatusNumbers(const char* text, const char* key, unsigned long* numbers, int capacity) {
    const char* at = std::strstr(text, key);
    int count = 0;
    if (at == nullptr) {
        return 0;
    }
    at += std::strlen(key);
    while (count < capacity && *at != '\n' && *at != '\0') {
        char* end = nullptr;
        const unsigned long value = std::strtoul(at, &end, 10);
        if (end == at) {
            break;
        }
        numbers[count++] = value;
        at = end;
    }
    return count;
}

// Whether process `pid` may open the tty read-write by the tty's mode and the process's own
// effective user and groups; unknown counts as may.
bool MayOpenTty(long pid, const struct stat& tty) {
    std::array<char, 64> path{};
    std::array<char, 8192> status{};
    static_cast<void>(std::snprintf(path.data(), path.size(), "/proc/%ld/status", pid));
    std::array<unsigned long, 4> uid{};
    std::array<unsigned long, 4> gid{};
    std::array<unsigned long, 256> groups{};
    if (!ReadSmallFile(path.data(), &status) ||
        StatusNumbers(status.data(), "\nUid:", uid.data(), 4) < 2 ||
        StatusNumbers(status.data(), "\nGid:", gid.data(), 4) < 2) {
        return true;
    }
    const int count = StatusNumbers(status.data(), "\nGroups:", groups.data(), 256);
    const auto both = [&tty](mode_t read, mode_t write) {
        return (tty.st_mode & read) != 0 && (tty.st_mode & write) != 0;
    };
    const bool inGroup = gid[1] == tty.st_gid || std::find(groups.begin(), groups.begin() + count,
                                                           tty.st_gid) != groups.begin() + count;
    return uid[1] == 0 || (uid[1] == tty.st_uid && both(S_IRUSR, S_IWUSR)) ||
           (inGroup && both(S_IRGRP, S_IWGRP)) || both(S_IROTH, S_IWOTH);
}

// One line of /proc/locks that is a flock: its holder, and the file's device and inode
// ("1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF", the device in hexadecimal).
bool ParseLockLine(char* line, long* pid, dev_t* device, unsigned long* inode) {
    std::array<char*, 6> field{};
    char* rest = nullptr;
    std::size_t count = 0;
    for (char* word = strtok_r(line, " \t", &rest); word != nullptr && count < field.size();
         word = strtok_r(nullptr, " \t", &rest)) {
        field[count++] = word;
    }
    if (count < field.size() || std::strcmp(field[1], "FLOCK") != 0) {
        return false;
    }
    char* end = nullptr;
    *pid = std::strtol(field[4], &end, 10);
    if (*end != '\0') {
        return false;
    }
    const unsigned long kind = std::strtoul(field[5], &end, 16);
    if (*end != ':') {
        return false;
    }
    const unsigned long unit = std::strtoul(end + 1, &end, 16);
    if (*end != ':') {
        return false;
    }
    *inode = std::strtoul(end + 1, &end, 10);
    *device = makedev(static_cast<unsigned>(kind), static_cast<unsigned>(unit));
    return *end == '\0';
}

// True when every process that holds a lock on the lock file `fd` may not open the tty
// itself: a stranger to the port, whose lock binds no one. Fails closed: a holder that cannot
// be told counts.
bool HeldOnlyByStrangers(int fd, const struct stat& tty) {
    struct stat lock {};
    std::array<char, 65536> locks{};
    if (fstat(fd, &lock) != 0 || !ReadSmallFile("/proc/locks", &locks)) {
        return false;
    }
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"; waiters' lines have "->".
    int holders = 0;
    for (char* line = locks.data(); *line != '\0';) {
        char* end = std::strchr(line, '\n');
        if (end != nullptr) {
            *end = '\0';
        }
        char* const next = end != nullptr ? end + 1 : line + std::strlen(line);
        long pid = 0;
        dev_t holder = 0;
        unsigned long inode = 0;
        if (std::strstr(line, "->") == nullptr && ParseLockLine(line, &pid, &holder, &inode) &&
            inode == lock.st_ino && holder == lock.st_dev) {
            ++holders;
            if (MayOpenTty(pid, tty)) {
                return false;
            }
        }
        line = next;
    }
    return holders > 0;
}

// Takes the lock file of `device` exclusively, without waiting: its descriptor, kLockBusy when
// another morva holds it or the name is unusable, or -1 when there is no lock to take (none can
// be made). Every user may open the file, but only a holder who may open the tty itself holds
// the port: a stranger's lock binds no one. Root then makes the file anew and takes it; any
// other user goes on without it (the flock on the tty still keeps two exchanges apart).
int LockDevice(dev_t device) {
    int fd = OpenLockFile(device);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return fd;
    }
    const struct stat* tty = JudgedTty(device);
    const bool strangers = tty != nullptr && HeldOnlyByStrangers(fd, *tty);
    close(fd);
    if (!strangers) {
        return kLockBusy;
    }
    // Root takes the name back, so that its whole-command hold has a lock of its own too.
    char path[kLockPathSize];
    if (geteuid() != 0 || !FormLockPath(device, path) || unlink(path) != 0) {
        return -1;
    }
    fd = OpenLockFile(device);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return kLockBusy;
    }
    return fd;
}

}  // namespace

// Refused at the lock file, before the open could touch the modem lines of the port in use.
bool LockedByAnother(dev_t device) {
    if (g_holdFd >= 0 && g_holdDevice == device) {
        return false;
    }
    const int fd = LockDevice(device);
    if (fd == kLockBusy) {
        return true;
    }
    g_lockFd = fd;
    return false;
}

// A port that this process holds was judged free when the hold was taken: nothing that
// appeared since refuses its exchanges. Without a usable lock file (none can be made) the flock
// on the tty decides.
bool HeldElsewhere(dev_t device) {
    if (g_holdFd >= 0 && g_holdDevice == device) {
        return false;
    }
    return TtyInUse(device) || LockedByAnother(device);
}

void DropLock() {
    if (g_lockFd >= 0) {
        close(g_lockFd);
        g_lockFd = -1;
    }
}

int HoldPort(int port) {
    char path[kDevicePathSize];
    dev_t device = 0;
    if (g_holdFd >= 0) {
        return 1;
    }
    // Whether the port is free is judged here, once: no update runs without its hold.
    if (!FindPortDevice(port, path, &device) || TtyInUse(device)) {
        return 0;
    }
    const int fd = LockDevice(device);
    if (fd < 0) {
        return 0;
    }
    g_holdFd = fd;
    g_holdDevice = device;
    return 1;
}

void ReleasePortHold() {
    if (g_holdFd >= 0) {
        close(g_holdFd);
        g_holdFd = -1;
    }
}

}  // namespace morva

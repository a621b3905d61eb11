// The lock file of a port's device, taken by each exchange and by the whole-command hold.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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
int OpenLockFile(dev_t device) {
    char path[kLockPathSize];
    const int length = std::snprintf(path, sizeof path, "%s/morva-tty-%u-%u.lock", LockFolder(),
                                     major(device), minor(device));
    if (length <= 0 || length >= kLockPathSize) {
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

// Takes the lock file of `device` exclusively, without waiting: its descriptor, kLockBusy when
// another morva holds it or the name is unusable, or -1 when no lock file can be made.
int LockDevice(dev_t device) {
    const int fd = OpenLockFile(device);
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

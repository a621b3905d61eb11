// The POSIX side of the serial port, for Linux: <linux/serial.h>, TIOCGICOUNT and TIOCGEXCL
// are Linux calls, and pseudo-terminals are told by Linux's major numbers.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "link/serial_port.h"

namespace morva {
namespace {

constexpr int kDevicePathSize = 1024;
constexpr int kLockPathSize = 64;
// 257 bytes take about 270 ms at 9600 baud; a line that takes no byte for this long is stuck.
constexpr int kWriteStallMs = 2000;

// The port of the running exchange, for the interrupt handler: its descriptor and whether this
// process set its exclusive mark.
volatile std::sig_atomic_t g_openFd = -1;
volatile std::sig_atomic_t g_marked = 0;
// The running exchange's lock on the lock file of its device (-1: none).
int g_lockFd = -1;
// The whole-command hold (HoldPort): the lock on the same file, and its device.
int g_holdFd = -1;
dev_t g_holdDevice = 0;

// COM port n is $MORVA_PORTS/com<n> when that variable is set and not empty, else
// /dev/ttyS<n-1>.
int FormDevicePath(int port, char* path) {
    const char* folder = std::getenv("MORVA_PORTS");
    int length = 0;
    if (folder != nullptr && folder[0] != '\0') {
        length = std::snprintf(path, kDevicePathSize, "%s/com%d", folder, port);
    } else {
        length =
            std::snprintf(path, kDevicePathSize, "/dev/ttyS%lld", static_cast<long long>(port) - 1);
    }
    return length > 0 && length < kDevicePathSize ? 1 : 0;
}

// Pseudo-terminals refuse modem-line and counter ioctls; only that refusal is harmless.
bool IsUnsupported(int error) {
    return error == ENOTTY || error == EINVAL;
}

// Slaves of Unix98 pseudo-terminals (majors 136 to 143) and legacy ones (major 3). Their tty
// lives as long as the master, and the exclusive mark with it: a mark that a killed holder
// left there would refuse every later open by other users until the master closes.
bool IsPseudoTerminal(dev_t device) {
    const unsigned int kind = major(device);
    return kind == 3 || (kind >= 136 && kind <= 143);
}

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

// Opens the lock file of `device`, made (mode 0666, so that any user's morva can lock it) when
// missing; it stays, as the lock files of other serial programs do. Never follows a link or
// opens anything but a regular file. Returns the descriptor, or -1.
int OpenLockFile(dev_t device) {
    char path[kLockPathSize];
    const int length = std::snprintf(path, sizeof path, "%s/morva-tty-%u-%u.lock", LockFolder(),
                                     major(device), minor(device));
    if (length <= 0 || length >= kLockPathSize) {
        return -1;
    }
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, kFlags);
    if (fd < 0 && errno == ENOENT) {
        // Opening another user's file with O_CREAT fails in a sticky folder where regular files
        // are protected: create only what is missing.
        fd = open(path, kFlags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            static_cast<void>(fchmod(fd, 0666));  // past the umask
        } else if (errno == EEXIST) {
            fd = open(path, kFlags);
        }
    }
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

// The character device that COM port n names; false when the name is none.
bool FindPortDevice(int port, char* path, dev_t* device) {
    struct stat named {};
    if (FormDevicePath(port, path) == 0 || stat(path, &named) != 0 || !S_ISCHR(named.st_mode)) {
        return false;
    }
    *device = named.st_rdev;
    return true;
}

constexpr int kLockBusy = -2;

// Takes the lock file of `device` exclusively, without waiting: its descriptor, kLockBusy when
// another morva holds it, or -1 when no lock file is usable (the flock on the tty then
// decides alone).
int LockDevice(dev_t device) {
    const int fd = OpenLockFile(device);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return kLockBusy;
    }
    return fd;
}

// Takes the lock file of `device` for the exchange, before the tty is opened: another
// morva's exchange or whole-command hold refuses it there, before its open could touch the
// modem lines of the port in use.
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

void DropLock() {
    if (g_lockFd >= 0) {
        close(g_lockFd);
        g_lockFd = -1;
    }
}

// Releases the port of an interrupted exchange (async-signal-safe calls only), then ends the
// process by the signal as its default action would.
void ReleaseOnSignal(int signal) {
    const int fd = g_openFd;
    if (fd >= 0) {
        if (g_marked != 0) {
            ioctl(fd, TIOCNXCL);
        }
        close(fd);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signal);
    static_cast<void>(raise(signal));
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
}

// Once per run, before the first port opens. A signal that the caller ignores (nohup) stays
// ignored.
void CatchInterrupts() {
    static bool caught = false;
    if (caught) {
        return;
    }
    caught = true;
    constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction release {};
    release.sa_handler = ReleaseOnSignal;
    sigemptyset(&release.sa_mask);
    for (const int signal : kInterrupts) {
        sigaddset(&release.sa_mask, signal);
    }
    for (const int signal : kInterrupts) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaction(signal, &release, nullptr);
        }
    }
}

// What an open port keeps in CommPort::platform.
struct PortState {
    // Line-error counters seen at the previous status query.
    std::array<std::uint64_t, 5> errorCounts{};
    bool hasErrorCounts = false;
};

bool ReadErrorCounts(int fd, std::array<std::uint64_t, 5>* counts) {
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        return false;
    }
    *counts = {static_cast<std::uint64_t>(icount.frame), static_cast<std::uint64_t>(icount.parity),
               static_cast<std::uint64_t>(icount.overrun), static_cast<std::uint64_t>(icount.brk),
               static_cast<std::uint64_t>(icount.buf_overrun)};
    return true;
}

// Clears the exclusive mark only where this process set it.
void Release(int fd) {
    g_openFd = -1;
    if (g_marked != 0) {
        ioctl(fd, TIOCNXCL);
        g_marked = 0;
    }
    close(fd);
    DropLock();
}

int Configure(int fd, CommPort* commPort) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return 0;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        return 0;
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &lines) != 0 && !IsUnsupported(errno)) {
        return 0;
    }
    PortState state;
    state.hasErrorCounts = ReadErrorCounts(fd, &state.errorCounts);
    KeepPlatformState(commPort, state);
    return 1;
}

// Takes the open port: refused when another program marked it exclusive (root's open passes
// the mark) or holds its flock; marks it exclusive where the kernel clears the mark at the
// last close.
int Take(int fd, dev_t device) {
    int marked = 0;
    if (ioctl(fd, TIOCGEXCL, &marked) == 0 && marked != 0) {
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return 0;
    }
    if (!IsPseudoTerminal(device)) {
        if (ioctl(fd, TIOCEXCL) != 0) {
            return 0;
        }
        g_marked = 1;
    }
    return 1;
}

}  // namespace

int SerialOpen(int port, CommPort* commPort) {
    char path[kDevicePathSize];
    // Locked before the open, which raises DTR and RTS on a real port.
    dev_t device = 0;
    if (!FindPortDevice(port, path, &device) || LockedByAnother(device)) {
        return 0;
    }
    CatchInterrupts();
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        DropLock();
        return 0;
    }
    g_openFd = fd;
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || opened.st_rdev != device || Take(fd, opened.st_rdev) == 0 ||
        Configure(fd, commPort) == 0) {
        Release(fd);
        return 0;
    }
    commPort->handle = fd;
    return 1;
}

void SerialClose(CommPort* commPort) {
    Release(static_cast<int>(commPort->handle));
    commPort->handle = -1;
}

int SerialQueryStatus(CommPort* commPort, std::uint32_t* errorWord, std::uint32_t* waiting) {
    const int fd = static_cast<int>(commPort->handle);
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) {
        return 0;
    }
    *waiting = queued > 0 ? static_cast<std::uint32_t>(queued) : 0;
    *errorWord = 0;
    PortState state = PlatformStateOf<PortState>(commPort);
    std::array<std::uint64_t, 5> counts{};
    if (state.hasErrorCounts && ReadErrorCounts(fd, &counts)) {
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (counts[i] != state.errorCounts[i]) {
                *errorWord |= 1U << i;
            }
        }
        state.errorCounts = counts;
        KeepPlatformState(commPort, state);
    }
    return 1;
}

int SerialRead(CommPort* commPort, char* buffer, int count, int* got) {
    const ssize_t result =
        read(static_cast<int>(commPort->handle), buffer, static_cast<size_t>(count));
    if (result < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            *got = 0;
            return 1;
        }
        return 0;
    }
    // Bytes were reported waiting: nothing at all is a hung-up tty (a pulled USB cable).
    if (result == 0) {
        return 0;
    }
    *got = static_cast<int>(result);
    return 1;
}

int SerialWrite(CommPort* commPort, const char* bytes, int count) {
    // The port is non-blocking: wait for room until every byte is handed over, as a
    // synchronous write does, but never longer than a stalled line would justify.
    const int fd = static_cast<int>(commPort->handle);
    int done = 0;
    while (done < count) {
        const ssize_t result = write(fd, bytes + done, static_cast<size_t>(count - done));
        if (result > 0) {
            done += static_cast<int>(result);
            continue;
        }
        if (result == 0 || (errno != EAGAIN && errno != EINTR)) {
            return 0;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, kWriteStallMs) <= 0 || (writable.revents & POLLOUT) == 0) {
            return 0;
        }
    }
    return 1;
}

void SerialSleep(int milliseconds) {
    timespec delay{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

int HoldPort(int port) {
    char path[kDevicePathSize];
    dev_t device = 0;
    if (g_holdFd >= 0 || !FindPortDevice(port, path, &device)) {
        return 1;
    }
    const int fd = LockDevice(device);
    if (fd == kLockBusy) {
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

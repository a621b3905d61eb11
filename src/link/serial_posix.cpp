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
#include <ctime>

#include "link/failure_trace.h"
#include "link/serial_port.h"
#include "link/serial_posix_shared.h"

namespace morva {
namespace {

// 257 bytes take about 270 ms at 9600 baud; a line that takes no byte for this long is stuck.
constexpr int kWriteStallMs = 2000;

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

// The -vvv line of a call that failed, with errno; returns 0, the caller's failure result.
int Failed(const char* call) {
    TraceFailedCall(call, static_cast<unsigned long>(errno));
    return 0;
}

// Names of the TIOCGICOUNT counters in the order of the error word's bits.
constexpr std::array<const char*, 5> kCounterNames = {"frame", "parity", "overrun", "brk",
                                                      "buf_overrun"};

// The -vvv line of a line error: the counters that grew.
void TraceGrownCounters(std::uint32_t errorWord) {
    char what[64] = "";
    std::size_t used = 0;
    for (std::size_t i = 0; i < kCounterNames.size(); ++i) {
        if ((errorWord & (1U << i)) == 0 || used >= sizeof what) {
            continue;
        }
        const int n = std::snprintf(what + used, sizeof what - used, "%s%s", used > 0 ? " " : "",
                                    kCounterNames[i]);
        used += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    TraceLineError("ioctl(TIOCGICOUNT)", what);
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
        return Failed("tcgetattr()");
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0) {
        return Failed("cfsetspeed()");
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return Failed("tcsetattr()");
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &lines) != 0 && !IsUnsupported(errno)) {
        return Failed("ioctl(TIOCMBIC)");
    }
    PortState state;
    state.hasErrorCounts = ReadErrorCounts(fd, &state.errorCounts);
    KeepPlatformState(commPort, state);
    // What arrived before this exchange (a late reply, a boot message) is not its answer.
    if (tcflush(fd, TCIFLUSH) != 0) {
        return Failed("tcflush()");
    }
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
        return Failed("flock()");
    }
    if (!IsPseudoTerminal(device)) {
        if (ioctl(fd, TIOCEXCL) != 0) {
            return Failed("ioctl(TIOCEXCL)");
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
    if (!FindPortDevice(port, path, &device) || HeldElsewhere(device)) {
        return 0;
    }
    CatchInterrupts();
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        TraceFailedCall("open()", static_cast<unsigned long>(error));
        DropLock();
        return error == EBUSY ? kSerialBusy : 0;
    }
    g_openFd = fd;
    struct stat opened {};
    if (fstat(fd, &opened) != 0) {
        Failed("fstat()");
        Release(fd);
        return 0;
    }
    if (opened.st_rdev != device || Take(fd, opened.st_rdev) == 0 || Configure(fd, commPort) == 0) {
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
        return Failed("ioctl(FIONREAD)");
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
    if (*errorWord != 0) {
        TraceGrownCounters(*errorWord);
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
        return Failed("read()");
    }
    // Bytes were asked for because they were reported waiting: nothing at all is a hung-up tty
    // (a pulled USB cable).
    if (result == 0 && count > 0) {
        TraceShortTransfer("read()", 0, static_cast<unsigned long>(count));
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
        if (result == 0) {
            TraceShortTransfer("write()", static_cast<unsigned long>(done),
                               static_cast<unsigned long>(count));
            return 0;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return Failed("write()");
        }
        pollfd writable{fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, kWriteStallMs);
        if (ready < 0) {
            return Failed("poll()");
        }
        if (ready == 0 || (writable.revents & POLLOUT) == 0) {
            // The line took no byte for kWriteStallMs, or the tty hung up.
            TraceShortTransfer("write()", static_cast<unsigned long>(done),
                               static_cast<unsigned long>(count));
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

}  // namespace morva

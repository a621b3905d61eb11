#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "common/platform.h"
#include "link/serial_port.h"

namespace morva {
namespace {

constexpr int kDevicePathSize = 1024;
// 257 bytes take about 270 ms at 9600 baud; a line that takes no byte for this long is stuck.
constexpr int kWriteStallMs = 2000;

// COM port n is $MORVA_PORTS/com<n> when that folder is named, else /dev/ttyS<n-1>.
int FormDevicePath(int port, char* path) {
    const char* folder = GetEnvVar("MORVA_PORTS");
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

void Release(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
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
    commPort->hasErrorCounts = ReadErrorCounts(fd, &commPort->errorCounts);
    return 1;
}

}  // namespace

int SerialOpen(int port, CommPort* commPort) {
    char path[kDevicePathSize];
    if (FormDevicePath(port, path) == 0) {
        return 0;
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    // flock keeps other programs (and a second morva, even as root) off the port; TIOCEXCL
    // also refuses plain opens by other users.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return 0;
    }
    if (ioctl(fd, TIOCEXCL) != 0 || Configure(fd, commPort) == 0) {
        Release(fd);
        return 0;
    }
    commPort->handle = fd;
    return 1;
}

void SerialClose(CommPort* commPort) {
    // On a pseudo-terminal the exclusive flag outlives the close; clear it first.
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
    std::array<std::uint64_t, 5> counts{};
    if (commPort->hasErrorCounts && ReadErrorCounts(fd, &counts)) {
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (counts[i] != commPort->errorCounts[i]) {
                *errorWord |= 1U << i;
            }
        }
        commPort->errorCounts = counts;
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
        if (result < 0 && errno != EAGAIN && errno != EINTR) {
            return 0;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, kWriteStallMs) <= 0) {
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

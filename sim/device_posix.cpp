// The device's port on Linux: a pseudo-terminal of its own or an existing tty.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "device.h"

namespace tarvexsim {

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The serving thread's wake-up for Stop, kept across restarts.
bool OpenWake(int* wake, std::string* error) {
    if (*wake < 0)
        *wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (*wake < 0)
        *error = ErrnoText("eventfd");
    return *wake >= 0;
}

// 9600 baud 8N1, raw, without flow control; reads return what is there.
bool MakeRaw9600(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// The exclusive mark of a pty slave outlives a killed holder while the master lives.
bool IsPseudoTerminal(dev_t device) {
    const unsigned int kind = major(device);
    return kind == 3 || (kind >= 136 && kind <= 143);
}

// The lock file that morva takes for `device` before it opens the port: held, it keeps every
// morva off the simulator's own end.
int LockAsMorvaDoes(dev_t device) {
    struct stat folder {};
    constexpr mode_t kEveryoneSticky = S_ISVTX | S_IRWXU | S_IRWXG | S_IRWXO;
    const bool run = stat("/run/lock", &folder) == 0 && S_ISDIR(folder.st_mode) &&
                     (folder.st_mode & kEveryoneSticky) == kEveryoneSticky;
    const std::string path = std::string(run ? "/run/lock" : "/tmp") + "/morva-tty-" +
                             std::to_string(major(device)) + "-" + std::to_string(minor(device)) +
                             ".lock";
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            static_cast<void>(fchmod(fd, 0666));
    }
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -2;
    }
    return fd;
}

}  // namespace

bool Device::Start(std::string* error) {
    if (thread_.joinable() || master_ >= 0) {
        *error = "device already started";
        return false;
    }
    if (!Claim(error))
        return false;
    serial_ = false;
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        *error = ErrnoText("cannot create a pseudo-terminal");
        ClosePty();
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        *error = ErrnoText("ptsname_r");
        ClosePty();
        return false;
    }
    slave_path_ = name;
    // Held open for the device's life: the master never reads EIO between morva's exchanges,
    // and the raw settings below are in place before morva's first open.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        *error = ErrnoText(slave_path_.c_str());
        ClosePty();
        return false;
    }
    // Every close but ours is the end of someone's session on the port.
    closes_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closes_ < 0 || inotify_add_watch(closes_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        *error = ErrnoText("inotify");
        ClosePty();
        return false;
    }
    const int flags = fcntl(master_, F_GETFL);
    if (!MakeRaw9600(slave_) || flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = ErrnoText("cannot set up the pseudo-terminal");
        ClosePty();
        return false;
    }
    if (!OpenWake(&wake_, error)) {
        ClosePty();
        return false;
    }
    // Publish through rename so a stale link is replaced in one step.
    static std::atomic<unsigned> counter{0};
    const std::string temp = dir_ + "/.com" + std::to_string(port_) + ".tmp." +
                             std::to_string(getpid()) + "." + std::to_string(counter++);
    const std::string link = link_path();
    if (symlink(slave_path_.c_str(), temp.c_str()) != 0) {
        *error = ErrnoText(temp.c_str());
        ClosePty();
        return false;
    }
    if (rename(temp.c_str(), link.c_str()) != 0) {
        *error = ErrnoText(link.c_str());
        unlink(temp.c_str());
        ClosePty();
        return false;
    }
    BeginServing();
    return true;
}

bool Device::StartOnSerial(const std::string& path, std::string* error) {
    if (thread_.joinable() || master_ >= 0) {
        *error = "device already started";
        return false;
    }
    serial_ = true;
    slave_path_ = path;
    struct stat named {};
    if (stat(path.c_str(), &named) != 0) {
        *error = ErrnoText(path.c_str());
        return false;
    }
    if (!S_ISCHR(named.st_mode)) {
        *error = "not a serial port";
        return false;
    }
    const std::string busy = "the port is held by another program";
    claim_ = LockAsMorvaDoes(named.st_rdev);
    if (claim_ == -2) {
        claim_ = -1;
        *error = busy;
        return false;
    }
    master_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        *error = errno == EBUSY ? busy : ErrnoText(path.c_str());
        ClosePty();
        return false;
    }
    int marked = 0;
    struct stat opened {};
    if (fstat(master_, &opened) != 0 || !isatty(master_) ||
        (ioctl(master_, TIOCGEXCL, &marked) == 0 && marked != 0) ||
        flock(master_, LOCK_EX | LOCK_NB) != 0 ||
        (!IsPseudoTerminal(opened.st_rdev) && ioctl(master_, TIOCEXCL) != 0)) {
        *error = isatty(master_) ? busy : "not a serial port";
        ClosePty();
        return false;
    }
    if (!MakeRaw9600(master_)) {
        *error = ErrnoText(path.c_str());
        ClosePty();
        return false;
    }
    // Whatever waited on the line before the device was there is no command.
    tcflush(master_, TCIOFLUSH);
    if (!OpenWake(&wake_, error)) {
        ClosePty();
        return false;
    }
    BeginServing();
    return true;
}

void Device::Stop() {
    if (thread_.joinable()) {
        stop_ = true;
        const std::uint64_t one = 1;
        // An eventfd write fails only when its counter would overflow.
        const ssize_t written = write(wake_, &one, sizeof one);
        (void)written;
        thread_.join();
    }
    if (!vanished_)
        RemoveLink();
    ClosePty();
    if (wake_ >= 0)
        close(wake_);
    wake_ = -1;
}

void Device::RemoveLink() {
    if (serial_ || slave_path_.empty())
        return;
    const std::string link = link_path();
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return;
    target[n] = '\0';
    if (slave_path_ == target)
        unlink(link.c_str());
}

long Device::WritePort(const char* bytes, std::size_t count) {
    const ssize_t n = write(master_, bytes, count);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return static_cast<long>(n);
}

void Device::SendBreak() {
    tcdrain(master_);
    tcsendbreak(master_, 0);
}

// A real port discards its input on the last close; a pty keeps it, so bytes of an earlier
// exchange that morva did not read would show up in this one. On a serial port the far end's
// driver does this itself.
void Device::FlushPeerInput() {
    if (slave_ >= 0)
        tcflush(slave_, TCIFLUSH);
}

// One device per port of a folder: a second one would take over the link unnoticed.
bool Device::Claim(std::string* error) {
    const std::string path = dir_ + "/.com" + std::to_string(port_) + ".lock";
    claim_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (claim_ < 0) {
        *error = ErrnoText(path.c_str());
        return false;
    }
    if (flock(claim_, LOCK_EX | LOCK_NB) != 0) {
        *error = "already served by another simulator (" + path + " is locked)";
        ClosePty();
        return false;
    }
    return true;
}

void Device::ClosePty() {
    for (int* fd : {&master_, &slave_, &closes_, &claim_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

// A real port discards what its user did not read when the user closes it, and a device
// that still talks then talks to nobody.
void Device::DropOnClose() {
    alignas(inotify_event) char events[1024];
    bool closed = false;
    while (read(closes_, events, sizeof events) > 0)
        closed = true;
    if (!closed)
        return;
    // What waited for the close goes out now, late.
    for (Timed& piece : out_) {
        if (piece.at == Clock::time_point::max())
            piece.at = Clock::now();
    }
    DropOutput();
}

void Device::Serve() {
    char buf[512];
    while (!stop_) {
        const auto now = Clock::now();
        bool blocked = false;
        if (!WriteDue(now, &blocked))
            break;

        if (vanish_pending_ && out_.empty()) {
            // Close only once morva has taken the reply (or given up), so it does not read a
            // hangup.
            // A serial port's far end cannot be watched: gone once the reply is on the line.
            int waiting = 0;
            if (slave_ >= 0 && ioctl(slave_, FIONREAD, &waiting) == 0 && waiting > 0)
                vanish_seen_ = true;
            if (slave_ < 0)
                tcdrain(master_);
            if (slave_ < 0 || (vanish_seen_ && waiting == 0) || now >= vanish_deadline_) {
                Log("(vanished)");
                ClosePty();
                vanished_ = true;
                return;
            }
        }

        // Sleep until input, the next due piece, or a wake-up.
        Clock::time_point until = Clock::time_point::max();
        if (!blocked) {
            if (!out_.empty())
                until = out_.front().at;
            if (stream_ == Stream::kTrickle)
                until = std::min(until, stream_next_);
        }
        if (vanish_pending_)
            until = std::min(until, now + std::chrono::milliseconds(1));
        timespec ts{};
        timespec* timeout = nullptr;
        if (until != Clock::time_point::max()) {
            const auto wait = std::max(until - now, Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &ts;
        }
        pollfd fds[3] = {{master_, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                         {wake_, POLLIN, 0},
                         {closes_, POLLIN, 0}};
        const int ready = ppoll(fds, 3, timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            const ssize_t got = read(wake_, &count, sizeof count);  // only a wake-up
            (void)got;
        }
        // Before the input: a close comes before the next session's command.
        if (fds[2].revents & POLLIN)
            DropOnClose();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                OnBytes(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno == EIO) {
                // No slave open (cannot happen while ours is held), or a serial port's hangup;
                // do not spin.
                usleep(1000);
            }
        }
    }
}

}  // namespace tarvexsim

#include "device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "escape.h"

namespace tarvexsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxCommand = 4096;  // longer input without CR is logged and dropped
constexpr auto kVanishGrace = std::chrono::seconds(3);  // longer than morva's 2 s receive

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

Device::Device(std::string dir, int port, Options options)
    : dir_(std::move(dir)), port_(port), responder_(std::move(options)) {}

Device::~Device() {
    Stop();
}

std::string Device::link_path() const {
    return dir_ + "/com" + std::to_string(port_);
}

bool Device::Start(std::string* error) {
    if (thread_.joinable() || master_ >= 0) {
        *error = "device already started";
        return false;
    }
    if (!Claim(error))
        return false;
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
    termios tio{};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
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
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    const int flags = fcntl(master_, F_GETFL);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0 || flags < 0 ||
        fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = ErrnoText("cannot set up the pseudo-terminal");
        ClosePty();
        return false;
    }
    if (wake_ < 0)
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        *error = ErrnoText("eventfd");
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
    stop_ = false;
    vanished_ = false;
    rx_.clear();
    out_.clear();
    out_off_ = 0;
    stream_ = Stream::kNone;
    vanish_pending_ = false;
    thread_ = std::thread(&Device::Serve, this);
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
    if (slave_path_.empty())
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

void Device::SetOptions(const Options& options) {
    std::lock_guard<std::mutex> lock(mu_);
    responder_ = Responder(options);
}

Options Device::options() const {
    std::lock_guard<std::mutex> lock(mu_);
    return responder_.options();
}

std::vector<std::string> Device::Commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
}

void Device::ClearCommands() {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.clear();
}

void Device::SetLogger(std::function<void(const std::string&)> logger) {
    std::lock_guard<std::mutex> lock(mu_);
    logger_ = std::move(logger);
}

void Device::Log(const std::string& line) {
    std::function<void(const std::string&)> logger;
    {
        std::lock_guard<std::mutex> lock(mu_);
        logger = logger_;
    }
    if (logger)
        logger("COM" + std::to_string(port_) + " " + line);
}

void Device::DropOutput() {
    out_.clear();
    out_off_ = 0;
    stream_ = Stream::kNone;
    // A real port discards its input on the last close; a pty keeps it, so bytes of an earlier
    // exchange that morva did not read would show up in this one.
    tcflush(slave_, TCIFLUSH);
}

// A real port discards what its user did not read when the user closes it, and a device
// that still talks then talks to nobody.
void Device::DropOnClose() {
    alignas(inotify_event) char events[1024];
    bool closed = false;
    while (read(closes_, events, sizeof events) > 0)
        closed = true;
    if (closed)
        DropOutput();
}

void Device::OnBytes(const char* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (rx_.empty())
            DropOutput();
        rx_ += data[i];
        if (data[i] == '\r') {
            OnCommand(rx_);
            rx_.clear();
        } else if (rx_.size() >= kMaxCommand) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                commands_.push_back(rx_);
            }
            Log("< (no CR) " + Escape(rx_.substr(0, 64)) + "...");
            rx_.clear();
        }
    }
}

void Device::OnCommand(const std::string& command) {
    Response r;
    Options options;
    {
        std::lock_guard<std::mutex> lock(mu_);
        commands_.push_back(command);
        r = responder_.Handle(command);
        options = responder_.options();
    }
    Log("< " + Escape(command));
    const auto now = Clock::now();
    if (r.vanish) {
        // Gone for morva's next open, even while it still reads this reply.
        RemoveLink();
        vanish_pending_ = true;
        vanish_seen_ = false;
    }
    if (!r.answer) {
        Log("> (no answer)");
    } else if (r.stream != Stream::kNone) {
        stream_ = r.stream;
        fill_ = options.fill == '\r' ? '#' : options.fill;
        trickle_gap_ = std::chrono::milliseconds(options.trickle_ms > 0 ? options.trickle_ms : 15);
        stream_next_ = now;
        Log(r.stream == Stream::kFlood ? "> (flood)" : "> (trickle forever)");
    } else {
        for (Piece& piece : PlanReply(r.reply, command.size(), options)) {
            out_.push_back(Timed{now + piece.at, std::move(piece.bytes)});
        }
        Log("> " + Escape(r.reply));
    }
    const auto last = out_.empty() ? now : out_.back().at;
    vanish_deadline_ = last + kVanishGrace;
}

// Writes what is due; false on a fatal write error. *blocked: the pty is full.
bool Device::WriteDue(Clock::time_point now, bool* blocked) {
    *blocked = false;
    while (!out_.empty() && out_.front().at <= now) {
        const std::string& bytes = out_.front().bytes;
        const ssize_t n = write(master_, bytes.data() + out_off_, bytes.size() - out_off_);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                *blocked = true;
                return true;
            }
            return false;
        }
        out_off_ += static_cast<std::size_t>(n);
        if (out_off_ < bytes.size()) {
            *blocked = true;
            return true;
        }
        out_.erase(out_.begin());
        out_off_ = 0;
    }
    if (stream_ == Stream::kNone)
        return true;
    if (stream_ == Stream::kTrickle) {
        if (now < stream_next_)
            return true;
        const ssize_t n = write(master_, &fill_, 1);
        if (n == 1) {
            stream_next_ = now + trickle_gap_;
        } else {
            *blocked = true;
        }
        return true;
    }
    const std::string chunk(256, static_cast<char>(fill_));
    for (;;) {
        const ssize_t n = write(master_, chunk.data(), chunk.size());
        if (n <= 0) {
            *blocked = true;
            return true;
        }
    }
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
            int waiting = 0;
            if (ioctl(slave_, FIONREAD, &waiting) == 0 && waiting > 0)
                vanish_seen_ = true;
            if ((vanish_seen_ && waiting == 0) || now >= vanish_deadline_) {
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
            } else if (n < 0 && errno == EIO) {
                // No slave open (cannot happen while ours is held); do not spin.
                usleep(1000);
            }
        }
    }
}

}  // namespace tarvexsim

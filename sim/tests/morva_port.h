// The host side of a port as morva's Linux build drives it, for testing the simulator.
#ifndef TARVEX_SIM_TESTS_MORVA_PORT_H_
#define TARVEX_SIM_TESTS_MORVA_PORT_H_

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace tarvexsim {
namespace testing {

enum class ReadResult { kOk, kTimeout, kOverflow, kError };

class MorvaPort {
  public:
    MorvaPort() = default;
    ~MorvaPort() { Close(); }
    MorvaPort(const MorvaPort&) = delete;
    MorvaPort& operator=(const MorvaPort&) = delete;

    // Open, exclusive lock and line settings; false (errno kept) when any step fails.
    bool Open(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return false;
        termios tio{};
        if (flock(fd_, LOCK_EX | LOCK_NB) != 0 || ioctl(fd_, TIOCEXCL) != 0 ||
            tcgetattr(fd_, &tio) != 0) {
            return Fail();
        }
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CLOCAL | CREAD;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (tcsetattr(fd_, TCSANOW, &tio) != 0)
            return Fail();
        int lines = TIOCM_DTR | TIOCM_RTS;
        if (ioctl(fd_, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL)
            return Fail();
        return true;
    }

    bool Write(const std::string& bytes) {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Polls like morva: 10 ms sleep, then read what waits; done at the read that holds a CR.
    // `reads` gets the size of every non-empty read.
    ReadResult ReadString(std::string* reply, std::vector<std::size_t>* reads, int polls = 200,
                          std::size_t capacity = 256) {
        reply->clear();
        for (int i = 0; i < polls; ++i) {
            usleep(10000);
            int waiting = 0;
            if (ioctl(fd_, FIONREAD, &waiting) != 0)
                return ReadResult::kError;
            const std::size_t n =
                std::min(capacity - reply->size(), static_cast<std::size_t>(waiting));
            if (n == 0)
                continue;
            std::string piece(n, '\0');
            const ssize_t got = read(fd_, &piece[0], n);
            if (got < 0)
                return ReadResult::kError;
            piece.resize(static_cast<std::size_t>(got));
            reply->append(piece);
            if (reads != nullptr)
                reads->push_back(piece.size());
            if (piece.find('\r') != std::string::npos)
                return ReadResult::kOk;
            if (reply->size() >= capacity)
                return ReadResult::kOverflow;
        }
        return ReadResult::kTimeout;
    }

    // One reply byte, or -1 when none came within `polls`.
    int ReadByte(int polls = 200) {
        for (int i = 0; i < polls; ++i) {
            usleep(10000);
            int waiting = 0;
            if (ioctl(fd_, FIONREAD, &waiting) != 0)
                return -1;
            if (waiting == 0)
                continue;
            unsigned char byte = 0;
            return read(fd_, &byte, 1) == 1 ? byte : -1;
        }
        return -1;
    }

    void Close() {
        if (fd_ < 0)
            return;
        ioctl(fd_, TIOCNXCL);
        close(fd_);
        fd_ = -1;
    }

  private:
    bool Fail() {
        const int saved = errno;
        close(fd_);
        fd_ = -1;
        errno = saved;
        return false;
    }

    int fd_ = -1;
};

}  // namespace testing
}  // namespace tarvexsim

#endif  // TARVEX_SIM_TESTS_MORVA_PORT_H_

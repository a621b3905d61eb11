#include "common/platform_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "common/platform.h"

namespace morva {

const char kPathSeparator = '/';
const char kPathListSeparator = ':';
const char kExecutableExtension[] = "";

bool FileExists(const char* path) {
    struct stat info {};
    return path != nullptr && stat(path, &info) == 0;
}

int GetCurrentDir(char* buffer, int capacity) {
    if (capacity <= 0) {
        return 0;
    }
    if (getcwd(buffer, static_cast<size_t>(capacity)) == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

int OpenRegularFile(const char* path, int flags) {
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0) {
        return -1;
    }
    errno = EINVAL;
    if (!S_ISREG(info.st_mode)) {
        return -1;
    }
    // Checked again on what was opened, in case the entry changed in between; O_NONBLOCK keeps
    // a FIFO put there meanwhile from waiting for a writer.
    const int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        return fd;
    }
    close(fd);
    errno = EINVAL;
    return -1;
}

std::FILE* OpenFileForReading(const char* path) {
    const int fd = OpenRegularFile(path, O_RDONLY);
    std::FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && file == nullptr) {
        close(fd);
    }
    return file;
}

const char* PathArgument(const char* const* argv, int index, char* /*buffer*/) {
    return argv[index];
}

const char* GetPathVariable(const char* name) {
    return std::getenv(name);
}

const char* ShownPath(const char* path, char* /*buffer*/) {
    return path;
}

// Sleeps already have fine resolution: nothing to ask for the timer. A standard descriptor
// that the caller left closed would be taken by the next open, the port's among them, and
// console text would go to the device: each closed one is taken by /dev/null first (an open
// takes the lowest free descriptor).
void BeginRun() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR | O_NOCTTY);
            if (null > STDERR_FILENO) {
                close(null);
            }
        }
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void EndRun() {}

}  // namespace morva

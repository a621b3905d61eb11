#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "common/platform.h"

namespace morva {

const char kPathSeparator = '/';
const char kPathListSeparator = ':';
const char kExecutableName[] = "morva";
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

const char* GetEnvVar(const char* name) {
    return std::getenv(name);
}

std::FILE* OpenFileForReading(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // A folder opens on POSIX but cannot be read as a file, as on Windows.
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// Sleeps already have fine resolution: nothing to ask for the timer.
void BeginRun() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void EndRun() {}

}  // namespace morva

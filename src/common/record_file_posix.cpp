// The run record on POSIX. The append uses async-signal-safe calls only, so that the interrupt
// handler can make it.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/platform.h"
#include "common/record_file.h"

namespace morva {
namespace {

// A link that neither root nor the caller owns may lead anywhere that its owner chose.
bool IsForeignLink(const struct stat& entry) {
    return S_ISLNK(entry.st_mode) && entry.st_uid != 0 && entry.st_uid != geteuid();
}

int Refused(int* why) {
    *why = errno == ELOOP                      ? kRecordForeignLink
           : errno == ENXIO || errno == EISDIR ? kRecordNotAFile
                                               : kRecordCannotOpen;
    return -1;
}

// Opens the record file for appending: an existing regular file (not through a link, or
// through a link of root or the caller), or a new one, made only where nothing stands, so that
// no link put there in between is followed.
int OpenForAppend(const char* path, int* why) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    constexpr mode_t kMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
    *why = kRecordCannotOpen;
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat entry {};
        if (lstat(path, &entry) != 0) {
            if (errno != ENOENT) {
                return Refused(why);
            }
            const int fd = open(path, kFlags | O_CREAT | O_EXCL | O_NOFOLLOW, kMode);
            if (fd >= 0) {
                return fd;
            }
            if (errno != EEXIST) {
                return Refused(why);
            }
            continue;  // made by another process in between: open what is there now
        }
        if (IsForeignLink(entry)) {
            *why = kRecordForeignLink;
            return -1;
        }
        // O_NOFOLLOW: an entry that turned into a link since the look is refused (ELOOP).
        const int fd = open(path, kFlags | (S_ISLNK(entry.st_mode) ? 0 : O_NOFOLLOW));
        return fd >= 0 ? fd : Refused(why);
    }
    return -1;
}

}  // namespace

int AppendRecordLine(const char* path, const char* line, std::size_t length) {
    int why = kRecordCannotOpen;
    const int fd = OpenForAppend(path, &why);
    if (fd < 0) {
        return why;
    }
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(fd);
        return kRecordNotAFile;
    }
    // One write with O_APPEND: the line lands whole after every line before it, whoever else
    // appends at the same time.
    const ssize_t written = write(fd, line, length);
    close(fd);
    return written == static_cast<ssize_t>(length) ? kRecordWritten : kRecordWriteFailed;
}

void GetRunIdentity(char* host, char* user, std::size_t capacity, long long* pid) {
    if (gethostname(host, capacity) != 0) {
        host[0] = '\0';
    }
    host[capacity - 1] = '\0';
    // The account that runs morva, by its name where the system can tell it, else by number.
    passwd entry{};
    passwd* found = nullptr;
    char names[4096];
    if (getpwuid_r(geteuid(), &entry, names, sizeof names, &found) == 0 && found != nullptr &&
        std::strlen(found->pw_name) < capacity) {
        std::memcpy(user, found->pw_name, std::strlen(found->pw_name) + 1);
    } else {
        static_cast<void>(std::snprintf(user, capacity, "%u", static_cast<unsigned>(geteuid())));
    }
    *pid = getpid();
}

const char* FullPath(const char* path, char* buffer) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr && std::strlen(resolved) < kPathTextSize) {
        std::memcpy(buffer, resolved, std::strlen(resolved) + 1);
        return buffer;
    }
    // A path that leads nowhere: from the current folder, as typed.
    char folder[PATH_MAX];
    if (path[0] != '/' && getcwd(folder, sizeof folder) != nullptr) {
        const std::size_t used = std::strlen(folder);
        const std::size_t length = std::strlen(path);
        if (used + 1 + length < kPathTextSize) {
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the path's copy ends it
            std::memcpy(buffer, folder, used);
            buffer[used] = '/';
            std::memcpy(buffer + used + 1, path, length + 1);
            return buffer;
        }
    }
    return path;
}

void CatchConsoleInterrupts(void (* /*interrupted*/)()) {}

}  // namespace morva

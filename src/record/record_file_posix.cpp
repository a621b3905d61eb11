// The run record on POSIX. The append uses async-signal-safe calls only, so that the interrupt
// handler can make it.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/guarded_open_posix.h"
#include "common/platform.h"
#include "record/record_file.h"

namespace morva {
namespace {

// Another morva holds the record's lock for the span of one write; a program that holds it
// longer is not waited for.
constexpr int kLockTries = 30;
constexpr long kLockPauseNs = 10L * 1000 * 1000;

void TakeLock(int fd) {
    const timespec pause{0, kLockPauseNs};
    for (int i = 0; i < kLockTries; ++i) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
            return;
        }
        nanosleep(&pause, nullptr);
    }
}

// The record file through the one opening rule; read access too where the caller has it, to
// see whether the file ends in a line end.
int OpenForAppend(const char* path) {
    const int fd = OpenGuarded(path, GuardedKind::kFile, O_RDWR | O_APPEND, true);
    return fd >= 0 || errno != EACCES ? fd
                                      : OpenGuarded(path, GuardedKind::kFile, O_WRONLY | O_APPEND);
}

int Refusal(int error) {
    return error == EPERM                       ? kRecordForeignLink
           : error == EINVAL || error == EISDIR ? kRecordNotAFile
                                                : kRecordCannotOpen;
}

}  // namespace

int AppendRecordLine(const char* path, const char* line, std::size_t length) {
    const int fd = OpenForAppend(path);
    if (fd < 0) {
        return Refusal(errno);
    }
    struct stat opened {};
    if (fstat(fd, &opened) != 0) {
        close(fd);
        return kRecordCannotOpen;
    }
    // A second name could be another user's hard link to any file of the caller's.
    if (opened.st_nlink != 1) {
        close(fd);
        return kRecordHardLink;
    }
    TakeLock(fd);
    struct stat before {};
    char last = '\n';
    const bool sized = fstat(fd, &before) == 0;
    if (sized && before.st_size > 0 && pread(fd, &last, 1, before.st_size - 1) != 1) {
        last = '\n';  // not readable: taken as whole
    }
    // A fragment that a crash or another program left is ended first, so that this line stands
    // on its own.
    char lineEnd = '\n';
    iovec parts[2] = {{&lineEnd, last != '\n' ? 1U : 0U}, {const_cast<char*>(line), length}};
    const std::size_t total = parts[0].iov_len + length;
    // The room is taken before the write, so that a full disk refuses the line rather than
    // cutting it.
    if (sized &&
        fallocate(fd, FALLOC_FL_KEEP_SIZE, before.st_size, static_cast<off_t>(total)) != 0 &&
        errno == ENOSPC) {
        close(fd);
        return kRecordWriteFailed;
    }
    // One write with O_APPEND: the line lands whole after every line before it, whoever else
    // appends at the same time.
    const ssize_t written = writev(fd, parts, 2);
    int result = kRecordWritten;
    if (written != static_cast<ssize_t>(total)) {
        result = kRecordWriteFailed;
        struct stat after {};
        // Cut back to where this write began, while the file still ends with its bytes.
        if (written > 0 &&
            (!sized || fstat(fd, &after) != 0 || after.st_size != before.st_size + written ||
             ftruncate(fd, before.st_size) != 0)) {
            result = kRecordCutShort;
        }
    }
    close(fd);
    return result;
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
    return path[0] == '/' && std::strlen(path) < kPathTextSize ? path : nullptr;
}

void CatchConsoleInterrupts(void (* /*interrupted*/)()) {}

}  // namespace morva

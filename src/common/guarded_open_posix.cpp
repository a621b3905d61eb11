// A path opened one name at a time, so that every link on the way is judged before it is
// followed, and nothing that another user swaps in meanwhile is followed instead.
#include "common/guarded_open_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace morva {
namespace {

constexpr int kLinkLimit = 40;  // as the kernel's own walk
// Names walked in all, links and a file made by another process meanwhile included.
constexpr int kStepLimit = 4096;
constexpr int kGoOn = -2;

using PathText = std::array<char, PATH_MAX>;

// What is left of the path: `rest` from `at` on, relative to `folder` (an O_PATH descriptor).
struct Walk {
    int folder = -1;
    PathText rest{};
    std::size_t at = 0;
    int links = 0;
};

bool StartAt(Walk* walk, const char* folderName) {
    const int folder = open(folderName, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return false;
    }
    if (walk->folder >= 0) {
        close(walk->folder);
    }
    walk->folder = folder;
    return true;
}

// The walk goes on with the target of `link` and the part of the path after it (from
// `after`); false for a link that neither root nor the caller owns.
bool FollowLink(Walk* walk, int link, std::size_t after) {
    struct stat info {};
    if (++walk->links > kLinkLimit) {
        errno = ELOOP;
        return false;
    }
    if (fstat(link, &info) != 0) {
        return false;
    }
    if (info.st_uid != 0 && info.st_uid != geteuid()) {
        errno = EPERM;
        return false;
    }
    PathText joined{};
    const ssize_t length = readlinkat(link, "", joined.data(), joined.size());
    const std::string_view tail(walk->rest.data() + after);
    if (length <= 0 || static_cast<std::size_t>(length) + 1 + tail.size() >= joined.size()) {
        errno = length < 0 ? errno : ENAMETOOLONG;
        return false;
    }
    auto size = static_cast<std::size_t>(length);
    if (!tail.empty()) {
        joined[size++] = '/';
        size += tail.copy(joined.data() + size, tail.size());
    }
    joined[size] = '\0';
    walk->rest = joined;
    walk->at = 0;
    return joined[0] != '/' || StartAt(walk, "/");
}

// A new file in a folder that a group shares stays writable by the group, whatever the umask.
int Create(int folder, const char* name, int flags) {
    const int fd =
        openat(folder, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    constexpr mode_t kShared = S_ISGID | S_IWGRP;
    struct stat info {};
    if (fd >= 0 && fstat(folder, &info) == 0 && (info.st_mode & kShared) == kShared) {
        const mode_t mask = umask(0);
        umask(mask);
        static_cast<void>(fchmod(fd, (0666 & ~mask) | S_IRGRP | S_IWGRP));
    }
    return fd;
}

// Opens the regular file `name` that was seen as `seen`; anything else in its place by now
// (O_NONBLOCK: a FIFO does not wait for a writer) fails.
int OpenSeen(int folder, const char* name, int flags, const struct stat& seen) {
    const int fd = openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat opened {};
    if (fd >= 0 &&
        (fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino ||
         !S_ISREG(opened.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Walks the next name of the path: the file's descriptor at the last name, -1 on failure,
// kGoOn while the path goes on.
int Step(Walk* walk, GuardedKind kind, int flags, bool create) {
    const char* rest = walk->rest.data();
    std::size_t start = walk->at;
    while (rest[start] == '/') {
        ++start;
    }
    std::size_t end = start;
    while (rest[end] != '\0' && rest[end] != '/') {
        ++end;
    }
    std::size_t next = end;
    while (rest[next] == '/') {
        ++next;
    }
    std::array<char, NAME_MAX + 1> name{};
    if (start == end || end - start >= name.size()) {
        errno = start == end ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    std::memcpy(name.data(), rest + start, end - start);
    const bool last = rest[next] == '\0';
    const int entry = openat(walk->folder, name.data(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (entry < 0) {
        if (!last || !create || kind != GuardedKind::kFile || errno != ENOENT) {
            return -1;
        }
        const int made = Create(walk->folder, name.data(), flags);
        return made >= 0 || errno != EEXIST ? made : kGoOn;  // made meanwhile: walk it again
    }
    struct stat seen {};
    int result = -1;
    if (fstat(entry, &seen) != 0) {
        // errno tells
    } else if (S_ISLNK(seen.st_mode)) {
        result = FollowLink(walk, entry, next) ? kGoOn : -1;
    } else if (!last && S_ISDIR(seen.st_mode)) {
        close(walk->folder);
        walk->folder = entry;
        walk->at = next;
        return kGoOn;
    } else if (last && kind == GuardedKind::kFile && S_ISREG(seen.st_mode)) {
        result = OpenSeen(walk->folder, name.data(), flags, seen);
    } else if (last && ((kind == GuardedKind::kFolder && S_ISDIR(seen.st_mode)) ||
                        (kind == GuardedKind::kDevice && S_ISCHR(seen.st_mode)))) {
        return entry;  // an O_PATH descriptor: the name that was judged, nothing opened
    } else {
        errno = last ? EINVAL : ENOTDIR;
    }
    const int error = errno;
    close(entry);
    errno = error;
    return result;
}

}  // namespace

int OpenGuarded(const char* path, GuardedKind kind, int flags, bool create) {
    Walk walk;
    const std::string_view text = path != nullptr ? path : "";
    if (text.empty() || text.size() >= walk.rest.size()) {
        errno = text.empty() ? ENOENT : ENAMETOOLONG;
        return -1;
    }
    text.copy(walk.rest.data(), text.size());
    if (!StartAt(&walk, text.front() == '/' ? "/" : ".")) {
        return -1;
    }
    int result = kGoOn;
    for (int step = 0; result == kGoOn; ++step) {
        result = step < kStepLimit ? Step(&walk, kind, flags, create) : -1;
        errno = step < kStepLimit ? errno : ELOOP;
    }
    const int error = errno;
    close(walk.folder);
    errno = error;
    return result;
}

}  // namespace morva

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <string_view>

#include "common/guarded_open_posix.h"
#include "common/text.h"
#include "settings/profile.h"

// Windows profile files read and written the way kernel32 does for what the program uses: the
// whole file in one buffer and one scan; a write rewrites the file in place from the first
// changed byte on, so that a link, the owner, the group and the mode stay and the folder need
// not be writable. Links are followed only when root or the caller owns them. Values are one line:
// a value to write is cut at its first CR or LF.
namespace morva {
namespace {

// A settings file is a few lines. A larger one is neither read (the read gives its default) nor
// written (it stays as it is); one more byte in the buffer tells it.
constexpr std::size_t kProfileSize = std::size_t{64} * 1024;
using ProfileBuffer = std::array<char, kProfileSize + 1>;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Another morva holds the lock for milliseconds; past 10 s go on rather than hang a script, as
// the Windows build does.
constexpr int kLockTries = 1000;
constexpr useconds_t kLockPauseUs = 10000;

// Locks, then reads the whole file: its size, or -1 when it cannot be read or is too large.
ssize_t LockAndRead(int fd, int lock, ProfileBuffer* buffer) {
    for (int i = 0; i < kLockTries; ++i) {
        if (flock(fd, lock | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
            break;
        }
        usleep(kLockPauseUs);
    }
    std::size_t size = 0;
    for (ssize_t got = 1; got > 0 && size < buffer->size(); size += static_cast<std::size_t>(got)) {
        got = read(fd, buffer->data() + size, buffer->size() - size);
        if (got < 0) {
            return -1;
        }
    }
    return size < buffer->size() ? static_cast<ssize_t>(size) : -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool SameName(std::string_view name, std::string_view wanted) {
    name = Trim(name);
    if (name.size() != wanted.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (ToUpperAscii(name[i]) != ToUpperAscii(wanted[i])) {
            return false;
        }
    }
    return true;
}

// Where the first section of the name and its first key of the name stand in the file.
struct ProfileScan {
    std::string_view lineEnd = "\n";  // the file's first line end; new lines take it
    bool sectionFound = false;
    std::size_t insertAt = 0;     // after the header or the section's last key line, else the end
    bool insertLineOpen = false;  // a line end must go before what is inserted there
    bool keyFound = false;
    std::string_view value;  // the key's value, after '=' and blanks up to the line end
};

// Blank lines, comments (first non-blank ';'), headers without ']' and lines without '=' are
// neither sections nor keys.
ProfileScan ScanProfile(std::string_view file, std::string_view section, std::string_view key) {
    ProfileScan scan;
    bool endSeen = false;
    bool inSection = false;
    bool lastLineOpen = false;
    for (std::size_t start = 0; start < file.size();) {
        const std::size_t lineFeed = file.find('\n', start);
        lastLineOpen = lineFeed == std::string_view::npos;
        const std::size_t next = lastLineOpen ? file.size() : lineFeed + 1;
        std::string_view line = file.substr(start, next - start);
        if (!lastLineOpen) {
            const std::size_t cr = line.size() >= 2 && line[line.size() - 2] == '\r' ? 1 : 0;
            if (!endSeen) {
                scan.lineEnd = line.substr(line.size() - 1 - cr);
                endSeen = true;
            }
            line.remove_suffix(1 + cr);
        }
        const std::string_view text = line;  // the whole line: a value runs to its end
        if (start == 0 && line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            line.remove_prefix(kByteOrderMark.size());
        }
        line = Trim(line);
        const std::size_t close = line.find(']');
        const std::size_t equals = line.find('=');
        if (line.empty() || line.front() == ';') {
            // neither
        } else if (line.front() == '[' && close != std::string_view::npos) {
            inSection = !scan.sectionFound && SameName(line.substr(1, close - 1), section);
            if (inSection) {
                scan.sectionFound = true;
                scan.insertAt = next;
                scan.insertLineOpen = lastLineOpen;
            }
        } else if (line.front() != '[' && equals != std::string_view::npos && inSection) {
            scan.insertAt = next;
            scan.insertLineOpen = lastLineOpen;
            if (!scan.keyFound && SameName(line.substr(0, equals), key)) {
                scan.keyFound = true;
                const std::size_t from =
                    static_cast<std::size_t>(line.data() - text.data()) + equals + 1;
                scan.value = text.substr(from);
                while (!scan.value.empty() && IsBlank(scan.value.front())) {
                    scan.value.remove_prefix(1);
                }
            }
        }
        start = next;
    }
    if (!scan.sectionFound) {
        scan.insertAt = file.size();
        scan.insertLineOpen = lastLineOpen;
    }
    return scan;
}

// The new file from its first changed byte on, or an empty tail when the new file would not be
// readable again.
struct Change {
    std::size_t at = 0;
    std::array<char, kProfileSize> tail{};
    std::size_t length = 0;
};

void MakeChange(std::string_view file, const ProfileScan& scan, std::string_view section,
                std::string_view key, std::string_view value, Change* change) {
    bool fits = true;
    const auto add = [change, &fits](std::string_view piece) {
        fits = fits && piece.size() <= change->tail.size() - change->length;
        if (fits) {
            change->length += piece.copy(change->tail.data() + change->length, piece.size());
        }
    };
    std::size_t rest = scan.insertAt;
    if (scan.keyFound) {
        change->at = static_cast<std::size_t>(scan.value.data() - file.data());
        rest = change->at + scan.value.size();
        add(value);
    } else {
        change->at = scan.insertAt;
        add(scan.insertLineOpen ? scan.lineEnd : "");
        if (!scan.sectionFound) {
            add("[");
            add(section);
            add("]");
            add(scan.lineEnd);
        }
        add(key);
        add("=");
        add(value);
        add(scan.lineEnd);
    }
    add(file.substr(rest));
    if (!fits || change->at + change->length > kProfileSize) {
        change->length = 0;
    }
}

// The new bytes go into space reserved beforehand, in one write; a failed or short write puts
// the old bytes back. Termination signals wait until the file is whole and synced.
void WriteChange(int fd, std::string_view file, const Change& change) {
    sigset_t terminate{};
    sigset_t saved{};
    sigemptyset(&terminate);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&terminate, signal);
    }
    sigprocmask(SIG_BLOCK, &terminate, &saved);
    const auto at = static_cast<off_t>(change.at);
    const auto oldSize = static_cast<off_t>(file.size());
    const auto newSize = static_cast<off_t>(change.at + change.length);
    // Where the file system cannot reserve space, a full disk fails the write, which is undone.
    if (newSize <= oldSize || fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, newSize) == 0 ||
        errno == EOPNOTSUPP || errno == ENOSYS) {
        if (pwrite(fd, change.tail.data(), change.length, at) !=
                static_cast<ssize_t>(change.length) ||
            (newSize < oldSize && ftruncate(fd, newSize) != 0)) {
            // Best effort: nothing more can be done when the undo fails too.
            [[maybe_unused]] const ssize_t undone =
                pwrite(fd, file.data() + change.at, file.size() - change.at, at);
            [[maybe_unused]] const int cut = ftruncate(fd, oldSize);
        }
        static_cast<void>(fsync(fd));
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

// The existing regular file, or a new one when there is none. A file without any write
// permission is left alone even by root, as the Windows writer leaves a read-only file; so is
// a file of more than one name, which could be another user's hard link to any file.
int OpenForWriting(const char* path) {
    const int fd = OpenGuarded(path, GuardedKind::kFile, O_RDWR, true);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || (info.st_mode & 0222) == 0 || info.st_nlink != 1)) {
        close(fd);
        return -1;
    }
    return fd;
}

int ReadFromFile(int fd, const char* section, const char* key, int defaultValue) {
    ProfileBuffer buffer{};
    const ssize_t size = LockAndRead(fd, LOCK_SH, &buffer);
    if (size < 0) {
        return defaultValue;
    }
    const ProfileScan scan =
        ScanProfile(std::string_view(buffer.data(), static_cast<std::size_t>(size)), section, key);
    std::string_view value = Trim(scan.value);
    // Quotes around the whole value do not count, as with kernel32.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    if (value.empty()) {
        return defaultValue;
    }
    buffer[static_cast<std::size_t>(value.data() - buffer.data()) + value.size()] = '\0';
    return ReadLeadingInt(value.data());
}

void WriteToFile(int fd, const char* section, const char* key, std::string_view value) {
    ProfileBuffer buffer{};
    const ssize_t size = LockAndRead(fd, LOCK_EX, &buffer);
    if (size < 0) {
        return;
    }
    const std::string_view file(buffer.data(), static_cast<std::size_t>(size));
    Change change{};
    MakeChange(file, ScanProfile(file, section, key), section, key, value, &change);
    if (change.length > 0 &&
        file.substr(change.at) != std::string_view(change.tail.data(), change.length)) {
        WriteChange(fd, file, change);
    }
}

}  // namespace

int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    const int fd = OpenGuarded(path, GuardedKind::kFile, O_RDONLY);
    if (fd < 0) {
        return defaultValue;
    }
    const int value = ReadFromFile(fd, section, key, defaultValue);
    close(fd);
    return value;
}

void WriteProfileText(const char* section, const char* key, const char* value, const char* path) {
    const std::string_view text = value != nullptr ? value : "";
    const int fd = OpenForWriting(path);
    if (fd >= 0) {
        WriteToFile(fd, section, key, text.substr(0, text.find_first_of("\r\n")));
        close(fd);
    }
}

}  // namespace morva

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/platform.h"
#include "common/text.h"
#include "settings/profile.h"

// Windows profile files read and written the way kernel32 does for what the program uses. A
// write keeps every line it does not change byte for byte and replaces the file in one rename.
// New line ends follow the file's first line end; a new file gets LF. Values are one line: a
// value to write is cut at its first CR or LF.
namespace morva {
namespace {

// A line is judged by its first kLineSize - 1 bytes. The rest of a longer line is read past
// when judging and copied through unchanged when writing.
constexpr int kLineSize = 1024;
constexpr int kTempPathSize = 300;  // a settings path of 259 characters and ".XXXXXX"
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

enum class LineEnd { kNone, kLf, kCrLf };

const char* EndText(LineEnd end) {
    switch (end) {
        case LineEnd::kCrLf:
            return "\r\n";
        case LineEnd::kLf:
            return "\n";
        case LineEnd::kNone:
            break;
    }
    return "";
}

struct Line {
    std::array<char, kLineSize> text{};
    int length = 0;  // bytes kept in text, line end excluded
    bool truncated = false;
    LineEnd end = LineEnd::kNone;
};

// Reads the next line. False at the end of the file (or a read error) with nothing read.
bool ReadLine(std::FILE* file, Line* line) {
    line->length = 0;
    line->truncated = false;
    line->end = LineEnd::kNone;
    bool any = false;
    bool crSeen = false;
    bool crKept = false;
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        any = true;
        if (c == '\n') {
            line->end = crSeen ? LineEnd::kCrLf : LineEnd::kLf;
            if (crKept) {
                --line->length;
            }
            return true;
        }
        crSeen = c == '\r';
        crKept = false;
        if (line->length < kLineSize - 1) {
            line->text[line->length++] = static_cast<char>(c);
            crKept = crSeen;
        } else {
            line->truncated = true;
        }
    }
    return any;
}

// Passes one line with its end from `in` to `out`, or past it when out is null. False at the
// end of the file with nothing read.
bool PassLine(std::FILE* in, std::FILE* out, LineEnd* end) {
    *end = LineEnd::kNone;
    bool any = false;
    bool crSeen = false;
    for (int c = std::getc(in); c != EOF; c = std::getc(in)) {
        any = true;
        if (out != nullptr) {
            static_cast<void>(std::putc(c, out));  // see Put
        }
        if (c == '\n') {
            *end = crSeen ? LineEnd::kCrLf : LineEnd::kLf;
            return true;
        }
        crSeen = c == '\r';
    }
    return any;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimRight(std::string_view text) {
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::size_t SkipBlanks(std::string_view text, std::size_t from) {
    while (from < text.size() && IsBlank(text[from])) {
        ++from;
    }
    return from;
}

std::string_view Trim(std::string_view text) {
    return TrimRight(text.substr(SkipBlanks(text, 0)));
}

bool SameName(std::string_view name, const char* wanted) {
    std::size_t i = 0;
    for (; i < name.size() && wanted[i] != '\0'; ++i) {
        if (ToUpperAscii(name[i]) != ToUpperAscii(wanted[i])) {
            return false;
        }
    }
    return i == name.size() && wanted[i] == '\0';
}

enum class LineKind { kOther, kSection, kKey };

struct LineView {
    LineKind kind = LineKind::kOther;
    std::string_view name;  // blanks removed; empty for a header cut off before its ']'
    bool nameKnown = true;
    std::size_t valueStart = 0;  // a key's value begins here (after '=' and blanks)
    std::string_view value;      // blanks removed
};

// Blank lines and comments are kOther, and so is a line that is neither a header nor has an
// '=' within its kept bytes. A cut-off line that begins with '[' opens a section whose name
// matches nothing.
LineView ClassifyLine(std::string_view text, bool truncated, bool firstLine) {
    LineView view;
    std::size_t start = 0;
    if (firstLine && text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        start = kByteOrderMark.size();
    }
    start = SkipBlanks(text, start);
    const std::string_view body = text.substr(start);
    if (body.empty() || body.front() == ';') {
        return view;
    }
    if (body.front() == '[') {
        const std::size_t close = body.find(']');
        if (close != std::string_view::npos) {
            view.kind = LineKind::kSection;
            view.name = Trim(body.substr(1, close - 1));
        } else if (truncated) {
            view.kind = LineKind::kSection;
            view.nameKnown = false;
        }
        return view;
    }
    const std::size_t equals = body.find('=');
    if (equals == std::string_view::npos) {
        return view;
    }
    view.kind = LineKind::kKey;
    view.name = Trim(body.substr(0, equals));
    const std::size_t valueStart = SkipBlanks(body, equals + 1);
    view.valueStart = start + valueStart;
    view.value = TrimRight(body.substr(valueStart));
    return view;
}

// The value's leading number. Quotes around the whole value do not count, as with kernel32.
int ReadValue(std::string_view value, int defaultValue) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    if (value.empty()) {
        return defaultValue;
    }
    std::array<char, kLineSize> number{};
    value.copy(number.data(), number.size() - 1);
    return ReadLeadingInt(number.data());
}

// Where the section and the key stand in a file.
struct ProfileScan {
    long long lines = 0;
    LineEnd firstEnd = LineEnd::kNone;        // the file's line end style
    LineEnd lastEnd = LineEnd::kNone;         // kNone when the last line has no line end
    long long sectionLine = -1;               // header of the first section of the name
    long long insertAfter = -1;               // that header or the last key line of that section
    long long keyLine = -1;                   // first key of the name in that section
    std::array<char, kLineSize> keyPrefix{};  // the key line up to its value
    std::size_t keyPrefixLength = 0;
    int value = 0;
};

bool ScanProfile(std::FILE* file, const char* section, const char* key, int defaultValue,
                 ProfileScan* scan) {
    scan->value = defaultValue;
    Line line;
    bool inSection = false;
    while (ReadLine(file, &line)) {
        const long long index = scan->lines++;
        if (scan->firstEnd == LineEnd::kNone) {
            scan->firstEnd = line.end;
        }
        scan->lastEnd = line.end;
        const std::string_view text(line.text.data(), static_cast<std::size_t>(line.length));
        const LineView view = ClassifyLine(text, line.truncated, index == 0);
        if (view.kind == LineKind::kSection) {
            inSection = scan->sectionLine < 0 && view.nameKnown && SameName(view.name, section);
            if (inSection) {
                scan->sectionLine = index;
                scan->insertAfter = index;
            }
        } else if (view.kind == LineKind::kKey && inSection) {
            scan->insertAfter = index;
            if (scan->keyLine < 0 && SameName(view.name, key)) {
                scan->keyLine = index;
                scan->keyPrefixLength = text.copy(scan->keyPrefix.data(), view.valueStart);
                scan->value = ReadValue(view.value, defaultValue);
            }
        }
    }
    return std::ferror(file) == 0;
}

// Write errors are not checked call by call: the stream keeps them for ferror at the end.
void Put(std::FILE* out, std::string_view bytes) {
    static_cast<void>(std::fwrite(bytes.data(), 1, bytes.size(), out));
}

void PutKeyLine(std::FILE* out, std::string_view key, std::string_view value,
                std::string_view end) {
    Put(out, key);
    Put(out, "=");
    Put(out, value);
    Put(out, end);
}

// Writes the file with the key set: copied line by line from `in` (null for a new file).
bool WriteWithValue(std::FILE* in, std::FILE* out, const ProfileScan& scan, const char* section,
                    const char* key, std::string_view value) {
    const char* newEnd = EndText(scan.firstEnd == LineEnd::kNone ? LineEnd::kLf : scan.firstEnd);
    if (in != nullptr) {
        LineEnd end = LineEnd::kNone;
        for (long long index = 0;; ++index) {
            const bool isKey = index == scan.keyLine;
            if (!PassLine(in, isKey ? nullptr : out, &end)) {
                break;
            }
            if (isKey) {
                Put(out, std::string_view(scan.keyPrefix.data(), scan.keyPrefixLength));
                Put(out, value);
                Put(out, EndText(end));
            } else if (scan.keyLine < 0 && index == scan.insertAfter) {
                if (end == LineEnd::kNone) {
                    Put(out, newEnd);
                }
                PutKeyLine(out, key, value, newEnd);
            }
        }
        if (std::ferror(in) != 0) {
            return false;
        }
    }
    if (scan.sectionLine < 0) {
        if (scan.lines > 0 && scan.lastEnd == LineEnd::kNone) {
            Put(out, newEnd);
        }
        Put(out, "[");
        Put(out, section);
        Put(out, "]");
        Put(out, newEnd);
        PutKeyLine(out, key, value, newEnd);
    }
    return std::ferror(out) == 0;
}

// Fills the temporary file and makes it durable. Takes over fd.
bool WriteTempFile(int fd, mode_t mode, std::FILE* in, const ProfileScan& scan, const char* section,
                   const char* key, std::string_view value) {
    std::FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        close(fd);
        return false;
    }
    const bool written = fchmod(fd, mode) == 0 &&
                         WriteWithValue(in, out, scan, section, key, value) &&
                         std::fflush(out) == 0 && fsync(fd) == 0;
    const bool closed = std::fclose(out) == 0;
    return written && closed;
}

// Makes the rename durable; a failure here leaves a complete file either way.
void SyncFolder(const char* path) {
    std::array<char, kTempPathSize> folder{};
    const char* slash = std::strrchr(path, '/');
    const std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    if (length >= folder.size()) {
        return;
    }
    std::memcpy(folder.data(), slash == nullptr ? "." : path, slash == nullptr ? 1 : length);
    const int fd = open(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        static_cast<void>(fsync(fd));
        close(fd);
    }
}

mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666) & ~mask;
}

}  // namespace

int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    std::FILE* file = OpenFileForReading(path);
    if (file == nullptr) {
        return defaultValue;
    }
    ProfileScan scan;
    ScanProfile(file, section, key, defaultValue, &scan);
    static_cast<void>(std::fclose(file));  // read only: nothing to lose
    return scan.value;
}

void WriteProfileText(const char* section, const char* key, const char* value, const char* path) {
    std::string_view text = value != nullptr ? value : "";
    text = text.substr(0, text.find_first_of("\r\n"));

    std::array<char, kTempPathSize> tempPath{};
    const int length = std::snprintf(tempPath.data(), tempPath.size(), "%s.XXXXXX", path);
    if (length < 0 || length >= kTempPathSize) {
        return;
    }

    // Only a regular file is replaced; one that cannot be read is left alone, and so is one
    // that may not be written, although the rename would get past its permissions.
    std::FILE* in = nullptr;
    mode_t mode = 0;
    const int inFd = open(path, O_RDONLY | O_CLOEXEC);
    if (inFd >= 0 && access(path, W_OK) != 0) {
        close(inFd);
        return;
    }
    if (inFd >= 0) {
        struct stat info {};
        if (fstat(inFd, &info) != 0 || !S_ISREG(info.st_mode) ||
            (in = fdopen(inFd, "rb")) == nullptr) {
            close(inFd);
            return;
        }
        mode = info.st_mode & static_cast<mode_t>(07777);
    } else if (errno == ENOENT) {
        mode = NewFileMode();
    } else {
        return;
    }

    // The temporary file lies in the same folder, so that the rename replaces the file in one
    // step; until then the old file stays whole.
    ProfileScan scan;
    const bool scanned = in == nullptr || (ScanProfile(in, section, key, 0, &scan) &&
                                           std::fseek(in, 0, SEEK_SET) == 0);
    const int tempFd = scanned ? mkostemp(tempPath.data(), O_CLOEXEC) : -1;
    if (tempFd >= 0) {
        if (WriteTempFile(tempFd, mode, in, scan, section, key, text) &&
            std::rename(tempPath.data(), path) == 0) {
            SyncFolder(path);
        } else {
            unlink(tempPath.data());
        }
    }
    if (in != nullptr) {
        static_cast<void>(std::fclose(in));
    }
}

}  // namespace morva

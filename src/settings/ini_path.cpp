#include "settings/ini_path.h"

#include <array>
#include <cstring>

#include "common/platform.h"
#include "common/product.h"

namespace morva {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Appends text at *length when it fits with a terminator into capacity bytes.
bool Append(std::string_view text, char* buffer, int capacity, int* length) {
    if (static_cast<long long>(*length) + static_cast<long long>(text.size()) + 1 > capacity) {
        return false;
    }
    if (!text.empty()) {  // an empty view may carry a null pointer
        std::memcpy(buffer + *length, text.data(), text.size());
        *length += static_cast<int>(text.size());
    }
    buffer[*length] = '\0';
    return true;
}

bool AppendExtension(std::string_view extension, char* buffer, int capacity, int* length) {
    if (extension.empty()) {
        return true;
    }
    if (extension.front() != '.' && !Append(".", buffer, capacity, length)) {
        return false;
    }
    return Append(extension, buffer, capacity, length);
}

int Finish(bool fits, char* buffer, int length) {
    if (!fits) {
        buffer[0] = '\0';
        return -1;
    }
    return length;
}

// A path formed in a buffer of kSettingsPathBytes (its length, or -1) within the characters
// that a settings path may have.
bool WithinCharacters(int length, const char* path) {
    return length >= 0 && PathCharacters(std::string_view(path, static_cast<std::size_t>(length))) <
                              kSettingsPathSize;
}

// A candidate that exists gives the settings path beside it, when that path fits; nothing is
// written into settingsPath otherwise.
bool TryCandidate(const IniSearchPlatform& platform, const char* candidate, const char* fileName,
                  const char* extension, char* settingsPath) {
    if (!platform.fileExists(candidate)) {
        return false;
    }
    const PathParts parts = SplitPath(candidate);
    std::array<char, kSettingsPathBytes> joined{};
    const int length = JoinPath(parts.drive, parts.folder, fileName, extension,
                                platform.pathSeparator, joined.data(), kSettingsPathBytes);
    if (!WithinCharacters(length, joined.data())) {
        return false;
    }
    std::memcpy(settingsPath, joined.data(), static_cast<std::size_t>(length) + 1);
    return true;
}

}  // namespace

PathParts SplitPath(std::string_view path) {
    PathParts parts;
    if (path.size() >= 2 && path[1] == ':') {
        parts.drive = path.substr(0, 2);
        path.remove_prefix(2);
    }
    const std::size_t lastSeparator = path.find_last_of("\\/");
    if (lastSeparator != std::string_view::npos) {
        parts.folder = path.substr(0, lastSeparator + 1);
        path.remove_prefix(lastSeparator + 1);
    }
    const std::size_t dot = path.rfind('.');
    parts.name = path.substr(0, dot);
    if (dot != std::string_view::npos) {
        parts.extension = path.substr(dot);
    }
    return parts;
}

int PathCharacters(std::string_view text) {
    int count = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // Continuation bytes add nothing; a four-byte sequence stands for a surrogate pair.
        count += (byte & 0xC0U) == 0x80U ? 0 : (byte >= 0xF0U ? 2 : 1);
    }
    return count;
}

int JoinPath(std::string_view drive, std::string_view folder, std::string_view name,
             std::string_view extension, char separator, char* buffer, int capacity) {
    if (capacity <= 0) {
        return -1;
    }
    buffer[0] = '\0';
    int length = 0;
    bool fits =
        Append(drive, buffer, capacity, &length) && Append(folder, buffer, capacity, &length);
    if (fits && !folder.empty() && !IsSeparator(folder.back())) {
        fits = Append(std::string_view(&separator, 1), buffer, capacity, &length);
    }
    fits = fits && Append(name, buffer, capacity, &length) &&
           AppendExtension(extension, buffer, capacity, &length);
    return Finish(fits, buffer, length);
}

int FormCandidate(std::string_view folder, char separator, std::string_view name,
                  std::string_view extension, char* buffer, int capacity) {
    if (capacity <= 0) {
        return -1;
    }
    buffer[0] = '\0';
    int length = 0;
    bool fits = Append(folder, buffer, capacity, &length);
    if (fits && (folder.empty() || folder.back() != separator)) {
        fits = Append(std::string_view(&separator, 1), buffer, capacity, &length);
    }
    fits = fits && Append(name, buffer, capacity, &length) &&
           AppendExtension(extension, buffer, capacity, &length);
    return Finish(fits, buffer, length);
}

int FindIniPathOn(const IniSearchPlatform& platform, const char* programPath, const char* fileName,
                  const char* extension, char* settingsPath) {
    settingsPath[0] = '\0';
    std::array<char, kSettingsPathBytes> candidate{};
    const PathParts program = SplitPath(programPath != nullptr ? programPath : "");
    if (!program.drive.empty() || !program.folder.empty()) {
        if (WithinCharacters(JoinPath(program.drive, program.folder, platform.executableName,
                                      platform.executableExtension, platform.pathSeparator,
                                      candidate.data(), kSettingsPathBytes),
                             candidate.data()) &&
            TryCandidate(platform, candidate.data(), fileName, extension, settingsPath)) {
            return 1;
        }
    } else {
        std::array<char, kCurrentDirSize> currentDir{};
        if (platform.getCurrentDir(currentDir.data(), kCurrentDirSize) == 1 &&
            WithinCharacters(
                FormCandidate(currentDir.data(), platform.pathSeparator, platform.executableName,
                              platform.executableExtension, candidate.data(), kSettingsPathBytes),
                candidate.data()) &&
            TryCandidate(platform, candidate.data(), fileName, extension, settingsPath)) {
            return 1;
        }
    }

    const char* pathList = platform.getEnvVar("PATH");
    std::string_view rest = pathList != nullptr ? pathList : "";
    while (!rest.empty()) {
        const std::size_t end = rest.find(platform.pathListSeparator);
        const std::string_view entry = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!entry.empty() &&
            WithinCharacters(
                FormCandidate(entry, platform.pathSeparator, platform.executableName,
                              platform.executableExtension, candidate.data(), kSettingsPathBytes),
                candidate.data()) &&
            TryCandidate(platform, candidate.data(), fileName, extension, settingsPath)) {
            return 1;
        }
    }
    settingsPath[0] = '\0';
    return 0;
}

int FindIniPath(const char* programPath, const char* fileName, const char* extension,
                char* settingsPath) {
    const IniSearchPlatform platform = {kPathSeparator,       kPathListSeparator, kProgramName,
                                        kExecutableExtension, FileExists,         GetCurrentDir,
                                        GetPathVariable};
    return FindIniPathOn(platform, programPath, fileName, extension, settingsPath);
}

}  // namespace morva

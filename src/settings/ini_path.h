// Where morva.ini lives: the folder that holds the executable, found from the program path, the
// current directory or the entries of PATH. The string parts take the platform's separator and
// executable name as arguments, so that both platforms' rules can be checked in one build.
#pragma once

#include <string_view>

namespace morva {

// The longest settings path and candidate: 259 characters (UTF-16 units, as Windows counts the
// characters of a path) and the terminator.
inline constexpr int kSettingsPathSize = 260;
// The bytes that such a path takes as UTF-8, up to three a unit, with its terminator: the size
// of every buffer that holds one.
inline constexpr int kSettingsPathBytes = 3 * (kSettingsPathSize - 1) + 1;
inline constexpr int kCurrentDirSize = 1024;

// A path cut into its drive ("X:" when the second character is a colon), its folder (up to and
// including the last '\\' or '/'), its file name and its extension (from the last dot of the
// rest, dot included). Views into the text that was split.
struct PathParts {
    std::string_view drive;
    std::string_view folder;
    std::string_view name;
    std::string_view extension;
};

PathParts SplitPath(std::string_view path);

// The characters of a UTF-8 text as Windows counts them in a path: UTF-16 units, two for a
// character beyond U+FFFF. A byte that is not UTF-8 counts as one.
int PathCharacters(std::string_view text);

// Writes drive, folder, `separator` (unless the folder is empty or already ends in '\\' or '/'),
// name and extension (with a dot before it unless it is empty or begins with one) into buffer.
// Returns the length, or -1 when the text and its terminator do not fit into capacity bytes;
// buffer then holds the empty text.
int JoinPath(std::string_view drive, std::string_view folder, std::string_view name,
             std::string_view extension, char separator, char* buffer, int capacity);

// The candidate for a folder taken whole (the current directory, a PATH entry): the folder,
// `separator` unless the folder's last character is that separator, the name and the extension
// as in JoinPath. Returns the length, or -1 when it does not fit (buffer then empty).
int FormCandidate(std::string_view folder, char separator, std::string_view name,
                  std::string_view extension, char* buffer, int capacity);

// What the search asks of the platform. FindIniPath uses the running platform's services; tests
// pass others to check the other platform's rules.
struct IniSearchPlatform {
    char pathSeparator;
    char pathListSeparator;
    const char* executableName;
    const char* executableExtension;  // without dot; empty where executables have none
    bool (*fileExists)(const char* path);
    int (*getCurrentDir)(char* buffer, int capacity);
    const char* (*getEnvVar)(const char* name);
};

// Searches, in this order, the program path's drive and folder (when it has either), else the
// current directory, and then the PATH entries (empty ones skipped) for the executable. The
// first candidate that exists gives the settings path: its drive and folder, `fileName`, a dot
// and `extension`, written into settingsPath (kSettingsPathBytes bytes). A candidate or
// settings path of more than kSettingsPathSize - 1 characters counts as absent; so does the
// current directory when it cannot be read into kCurrentDirSize bytes. Returns 1 when found, else 0
// with settingsPath empty. Prints nothing.
int FindIniPath(const char* programPath, const char* fileName, const char* extension,
                char* settingsPath);
int FindIniPathOn(const IniSearchPlatform& platform, const char* programPath, const char* fileName,
                  const char* extension, char* settingsPath);

}  // namespace morva

#include <windows.h>
// After windows.h, which it needs.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "common/platform.h"
#include "common/platform_win.h"

namespace morva {

const char kPathSeparator = '\\';
const char kPathListSeparator = ';';
const char kExecutableExtension[] = "exe";

namespace {

using WidePath = std::array<wchar_t, kWidePathSize>;

// UTF-8 of a wide text into buffer; false when it does not fit.
bool ToUtf8(const wchar_t* wide, char* buffer, int capacity) {
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer, capacity, nullptr, nullptr) > 0;
}

}  // namespace

int ToWidePath(const char* path, wchar_t* wide, int capacity) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, capacity);
    return length > 0 ? length : MultiByteToWideChar(CP_ACP, 0, path, -1, wide, capacity);
}

bool IsDeviceName(const wchar_t* wide) {
    WidePath full{};
    const DWORD length = GetFullPathNameW(wide, kWidePathSize, full.data(), nullptr);
    return length < static_cast<DWORD>(kWidePathSize) &&
           std::wcsncmp(full.data(), L"\\\\.\\", 4) == 0;
}

bool FileExists(const char* path) {
    WidePath wide{};
    return path != nullptr && ToWidePath(path, wide.data(), kWidePathSize) > 0 &&
           GetFileAttributesW(wide.data()) != INVALID_FILE_ATTRIBUTES;
}

int GetCurrentDir(char* buffer, int capacity) {
    if (capacity <= 0) {
        return 0;
    }
    WidePath wide{};
    const DWORD length = GetCurrentDirectoryW(kWidePathSize, wide.data());
    if (length == 0 || length >= static_cast<DWORD>(kWidePathSize) ||
        !ToUtf8(wide.data(), buffer, capacity)) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

std::FILE* OpenFileForReading(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    // A device name (COM3, NUL, CON) resolves into the device namespace: refused before it is
    // opened, since opening a serial port already changes its lines.
    WidePath wide{};
    if (ToWidePath(path, wide.data(), kWidePathSize) == 0 || IsDeviceName(wide.data())) {
        return nullptr;
    }
    const HANDLE handle = CreateFileW(wide.data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // Only a file on a disk: anything else could be read without end.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

const char* PathArgument(const char* const* argv, int index, char* buffer) {
    // The command line's own wide arguments, used only where both parsers split it alike: the
    // ANSI form of the wide argument is the argument that the program was given.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    const char* path = argv[index];
    std::array<char, kPathTextSize> ansi{};
    if (wide != nullptr && index < count &&
        WideCharToMultiByte(CP_ACP, 0, wide[index], -1, ansi.data(), kPathTextSize, nullptr,
                            nullptr) > 0 &&
        std::strcmp(ansi.data(), argv[index]) == 0 && ToUtf8(wide[index], buffer, kPathTextSize)) {
        path = buffer;
    }
    LocalFree(wide);
    return path;
}

const char* GetPathVariable(const char* name) {
    // Static: the caller keeps the value for the whole search, as with getenv. Up to three
    // bytes of UTF-8 for each wide character.
    constexpr std::size_t kValueSize = std::size_t{3} * kWidePathSize;
    static std::array<char, kValueSize> value{};
    WidePath wideName{};
    WidePath wide{};
    if (ToWidePath(name, wideName.data(), kWidePathSize) == 0) {
        return nullptr;
    }
    const DWORD length = GetEnvironmentVariableW(wideName.data(), wide.data(), kWidePathSize);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return nullptr;
    }
    if (length >= static_cast<DWORD>(kWidePathSize) ||
        !ToUtf8(wide.data(), value.data(), static_cast<int>(kValueSize))) {
        value[0] = '\0';
    }
    return value.data();
}

const char* ShownPath(const char* path, char* buffer) {
    WidePath wide{};
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), kWidePathSize) ==
            0 ||
        WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, buffer, kPathTextSize, nullptr, nullptr) ==
            0) {
        return path;
    }
    return buffer;
}

void BeginRun() {
    timeBeginPeriod(1);
}

void EndRun() {
    timeEndPeriod(1);
}

}  // namespace morva

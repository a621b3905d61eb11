// The run record on Windows.
#include <windows.h>

#include <array>
#include <cstring>
#include <cwchar>

#include "common/platform.h"
#include "common/platform_win.h"
#include "common/record_file.h"

namespace morva {
namespace {

using WidePath = std::array<wchar_t, kWidePathSize>;

void (*g_interrupted)() = nullptr;

BOOL WINAPI OnConsoleInterrupt(DWORD event) {
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && g_interrupted != nullptr) {
        g_interrupted();
    }
    return FALSE;  // then the default: the process ends
}

bool ToUtf8(const wchar_t* wide, char* buffer, std::size_t capacity) {
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer, static_cast<int>(capacity), nullptr,
                               nullptr) > 0;
}

}  // namespace

int AppendRecordLine(const char* path, const char* line, std::size_t length) {
    WidePath wide{};
    if (ToWidePath(path, wide.data(), kWidePathSize) == 0) {
        return kRecordCannotOpen;
    }
    if (IsDeviceName(wide.data())) {
        return kRecordNotAFile;
    }
    // Append access: every WriteFile goes to the end of the file; read access too, for the lock
    // below. A link (a reparse point) is opened as itself and refused, not followed.
    const HANDLE handle =
        CreateFileW(wide.data(), FILE_APPEND_DATA | FILE_READ_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD attributes = GetFileAttributesW(wide.data());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? kRecordNotAFile
                   : kRecordCannotOpen;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    int result = kRecordWritten;
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        result = kRecordNotAFile;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        result = kRecordForeignLink;
    } else {
        // Not every system appends in one step (Wine finds the end, then writes): the lock keeps
        // other stations' lines out of this one's place.
        OVERLAPPED whole{};
        const bool locked =
            LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
        DWORD written = 0;
        if (WriteFile(handle, line, static_cast<DWORD>(length), &written, nullptr) == 0 ||
            written != length) {
            result = kRecordWriteFailed;
        }
        if (locked) {
            UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
        }
    }
    CloseHandle(handle);
    return result;
}

void GetRunIdentity(char* host, char* user, std::size_t capacity, long long* pid) {
    std::array<wchar_t, 256> wide{};
    auto size = static_cast<DWORD>(wide.size());
    if (GetComputerNameW(wide.data(), &size) == 0 || !ToUtf8(wide.data(), host, capacity)) {
        host[0] = '\0';
    }
    size = static_cast<DWORD>(wide.size());
    if (GetUserNameW(wide.data(), &size) == 0 || !ToUtf8(wide.data(), user, capacity)) {
        user[0] = '\0';
    }
    *pid = static_cast<long long>(GetCurrentProcessId());
}

const char* FullPath(const char* path, char* buffer) {
    WidePath wide{};
    WidePath full{};
    if (ToWidePath(path, wide.data(), kWidePathSize) == 0) {
        return path;
    }
    const DWORD length = GetFullPathNameW(wide.data(), kWidePathSize, full.data(), nullptr);
    if (length == 0 || length >= static_cast<DWORD>(kWidePathSize) ||
        !ToUtf8(full.data(), buffer, kPathTextSize)) {
        return path;
    }
    return buffer;
}

void CatchConsoleInterrupts(void (*interrupted)()) {
    g_interrupted = interrupted;
    SetConsoleCtrlHandler(OnConsoleInterrupt, TRUE);
}

}  // namespace morva

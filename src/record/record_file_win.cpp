// The run record on Windows.
#include <windows.h>

#include <array>
#include <cstring>
#include <cwchar>

#include "common/platform.h"
#include "common/platform_win.h"
#include "record/record_file.h"

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

// Stations append under a lock of the whole file (Wine finds the end, then writes). A program
// that keeps it locked is waited for a few hundred milliseconds, never without end.
bool TakeLock(HANDLE handle, OVERLAPPED* whole) {
    constexpr int kTries = 30;
    constexpr DWORD kPauseMs = 10;
    for (int i = 0; i < kTries; ++i) {
        if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, whole) != 0) {
            return true;
        }
        Sleep(kPauseMs);
    }
    return false;
}

// The line at the end of the file, after a line end where the file lacks one; a failed write
// is cut off again, so that the line is whole or absent.
int AppendLocked(HANDLE handle, const char* line, std::size_t length) {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size) == 0) {
        return kRecordWriteFailed;
    }
    char last = '\n';
    if (size.QuadPart > 0) {
        OVERLAPPED at{};
        const long long end = size.QuadPart - 1;
        at.Offset = static_cast<DWORD>(end & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>(end >> 32);
        DWORD got = 0;
        if (ReadFile(handle, &last, 1, &got, &at) == 0 || got != 1) {
            last = '\n';
        }
    }
    const LARGE_INTEGER zero{};
    DWORD written = 0;
    DWORD ended = 1;
    const bool done =
        SetFilePointerEx(handle, zero, nullptr, FILE_END) != 0 &&
        (last == '\n' || (WriteFile(handle, "\n", 1, &ended, nullptr) != 0 && ended == 1)) &&
        WriteFile(handle, line, static_cast<DWORD>(length), &written, nullptr) != 0 &&
        written == length;
    if (done) {
        return kRecordWritten;
    }
    const bool cut =
        SetFilePointerEx(handle, size, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
    return cut || (written == 0 && ended == 1 && last == '\n') ? kRecordWriteFailed
                                                               : kRecordCutShort;
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
    // Write access at the place that the lock below keeps, rather than append access: a failed
    // write is then cut off again. A link (a reparse point) is opened as itself and refused.
    const HANDLE handle =
        CreateFileW(wide.data(), FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_DATA,
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
    OVERLAPPED whole{};
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        result = kRecordNotAFile;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        result = kRecordForeignLink;
    } else if (info.nNumberOfLinks != 1) {
        result = kRecordHardLink;
    } else if (!TakeLock(handle, &whole)) {
        result = kRecordLocked;
    } else {
        result = AppendLocked(handle, line, length);
        UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
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
        return nullptr;
    }
    const DWORD length = GetFullPathNameW(wide.data(), kWidePathSize, full.data(), nullptr);
    if (length == 0 || length >= static_cast<DWORD>(kWidePathSize) ||
        !ToUtf8(full.data(), buffer, kPathTextSize)) {
        return nullptr;
    }
    return buffer;
}

void CatchConsoleInterrupts(void (*interrupted)()) {
    g_interrupted = interrupted;
    SetConsoleCtrlHandler(OnConsoleInterrupt, TRUE);
}

}  // namespace morva

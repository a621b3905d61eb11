// The device's port on Windows: an existing COM port.
#include <windows.h>

#include <algorithm>

#include "device.h"

namespace tarvexsim {

namespace {

using Clock = std::chrono::steady_clock;

// Upper bound of one wait, so that Stop is seen soon.
constexpr DWORD kMaxWaitMs = 50;
constexpr DWORD kWriteWaitMs = 50;
constexpr DWORD kBreakMs = 250;

HANDLE Com(void* handle) {
    return static_cast<HANDLE>(handle);
}

std::string LastErrorText() {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION)
        return "the port is held by another program";
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return "no such port";
    return "error " + std::to_string(code);
}

// "COM4" and "\\.\COM4" both name the port; only the second reaches COM10 and above.
std::string DevicePath(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
}

// Reads return as soon as a byte is there, or after `read_ms` without one.
bool SetWaits(HANDLE com, DWORD read_ms) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = std::max<DWORD>(read_ms, 1);
    timeouts.WriteTotalTimeoutConstant = kWriteWaitMs;
    return SetCommTimeouts(com, &timeouts) != 0;
}

}  // namespace

bool Device::Start(std::string* error) {
    *error = "pseudo-terminals need Linux: name a COM port with --serial";
    return false;
}

bool Device::StartOnSerial(const std::string& path, std::string* error) {
    if (thread_.joinable() || com_ != nullptr) {
        *error = "device already started";
        return false;
    }
    serial_ = true;
    slave_path_ = path;
    const HANDLE com = CreateFileA(DevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    if (com == INVALID_HANDLE_VALUE) {
        *error = LastErrorText();
        return false;
    }
    com_ = com;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(com, &dcb) == 0) {
        *error = "not a serial port";
        ClosePty();
        return false;
    }
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (SetCommState(com, &dcb) == 0 || !SetWaits(com, kMaxWaitMs)) {
        *error = "cannot set up the port: " + LastErrorText();
        ClosePty();
        return false;
    }
    // Whatever waited on the line before the device was there is no command.
    PurgeComm(com, PURGE_RXCLEAR | PURGE_TXCLEAR);
    BeginServing();
    return true;
}

void Device::Stop() {
    if (thread_.joinable()) {
        stop_ = true;
        thread_.join();
    }
    ClosePty();
}

void Device::RemoveLink() {}

void Device::ClosePty() {
    if (com_ != nullptr)
        CloseHandle(Com(com_));
    com_ = nullptr;
}

long Device::WritePort(const char* bytes, std::size_t count) {
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(count, 4096));
    if (WriteFile(Com(com_), bytes, size, &written, nullptr) == 0 &&
        GetLastError() != ERROR_TIMEOUT) {
        return -1;
    }
    return static_cast<long>(written);
}

void Device::SendBreak() {
    FlushFileBuffers(Com(com_));
    SetCommBreak(Com(com_));
    Sleep(kBreakMs);
    ClearCommBreak(Com(com_));
}

// The far end's driver drops what its user did not read.
void Device::FlushPeerInput() {}

void Device::Serve() {
    char buf[512];
    while (!stop_) {
        const auto now = Clock::now();
        bool blocked = false;
        if (!WriteDue(now, &blocked))
            break;
        if (vanish_pending_ && out_.empty()) {
            // The far end cannot be watched: gone once the reply is on the line.
            FlushFileBuffers(Com(com_));
            Log("(vanished)");
            ClosePty();
            vanished_ = true;
            return;
        }
        auto wait = std::chrono::milliseconds(kMaxWaitMs);
        if (blocked) {
            wait = std::chrono::milliseconds(1);
        } else {
            if (!out_.empty())
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                          std::max(out_.front().at - now, Clock::duration(0))));
            if (stream_ == Stream::kTrickle)
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                          std::max(stream_next_ - now, Clock::duration(0))));
        }
        DWORD got = 0;
        if (!SetWaits(Com(com_), static_cast<DWORD>(wait.count())) ||
            ReadFile(Com(com_), buf, sizeof buf, &got, nullptr) == 0) {
            Sleep(1);  // a port in trouble: do not spin
            continue;
        }
        if (got > 0)
            OnBytes(buf, got);
    }
}

}  // namespace tarvexsim

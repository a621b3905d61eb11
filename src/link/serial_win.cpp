#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "link/failure_trace.h"
#include "link/port_hold_win.h"
#include "link/serial_port.h"

namespace morva {
namespace {

HANDLE AsHandle(const CommPort* commPort) {
    return reinterpret_cast<HANDLE>(commPort->handle);  // NOLINT(performance-no-int-to-ptr)
}

// What an open port keeps in CommPort::platform: the per-port mutex held for the exchange, so
// that two morva processes never hold one port even where the system does not enforce
// exclusive opens of devices (Wine).
struct PortState {
    HANDLE guard = nullptr;
    // The port's time-outs before the open, put back at the close.
    COMMTIMEOUTS before{};
};

// Per byte (about 1.04 ms at 9600 baud 8N1) and per write: a write of 257 bytes may take up to
// 2.5 s, in the order of the Linux build's two seconds of waiting for room.
constexpr DWORD kWriteMsPerByte = 2;
constexpr DWORD kWriteMsConstant = 2000;

// The flag bit-fields of the DCB are the one 32-bit word between BaudRate and wReserved.
constexpr std::size_t kFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kFlagsOffset + sizeof(DWORD) && sizeof(DCB) == 28,
              "the DCB layout that the flag-word copy relies on");

// fBinary set; parity check, CTS/DSR flow, DTR control, DSR sensitivity, TX-continue, XON/XOFF,
// error char, RTS control and abort-on-error cleared; fNull and the reserved bits kept.
constexpr DWORD kFlagsKeep = 0xFFFF8801;
constexpr DWORD kFlagsSet = 0x00000001;

// The whole-command hold (HoldPort): the per-port mutex, owned for the whole command.
HANDLE g_hold = nullptr;

void FormGuardName(int port, char (&name)[48]) {
    static_cast<void>(std::snprintf(name, sizeof name, "Local\\morva-COM%d", port));
}

// Takes a mutex without waiting; an abandoned one counts as taken.
bool TryTake(HANDLE mutex) {
    const DWORD taken = WaitForSingleObject(mutex, 0);
    return taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED;
}

// The -vvv line of a call that failed; GetLastError is read first, and kept for the caller.
void TraceFailed(const char* call) {
    const DWORD error = GetLastError();
    TraceFailedCall(call, error);
    SetLastError(error);
}

// Takes the per-port mutex without waiting; nullptr when another morva holds the port. The
// mutex is recursive: the thread that holds the port for a whole command takes it again.
HANDLE TakeGuard(int port) {
    char name[48];
    FormGuardName(port, name);
    HANDLE guard = CreateMutexA(nullptr, FALSE, name);
    if (guard == nullptr) {
        TraceFailed("CreateMutexA()");
        return nullptr;
    }
    if (!TryTake(guard)) {
        CloseHandle(guard);
        return nullptr;
    }
    return guard;
}

void DropGuard(HANDLE guard) {
    ReleaseMutex(guard);
    CloseHandle(guard);
}

void Release(HANDLE handle, HANDLE guard) {
    if (CloseHandle(handle) == FALSE) {
        TraceFailed("CloseHandle()");
    }
    DropGuard(guard);
}

// Releases a port whose time-outs the open has set, putting back the ones it had.
void RestoreAndRelease(HANDLE handle, const PortState& state) {
    COMMTIMEOUTS before = state.before;
    if (SetCommTimeouts(handle, &before) == FALSE) {
        TraceFailed("SetCommTimeouts()");
    }
    Release(handle, state.guard);
}

// Sets the exchange's own time-outs: a bounded write, and reads that return at once with what
// has arrived. A port that no program set up (and Wine) holds read time-outs of 0, "wait for
// every byte asked for", and a driver's cbInQue may promise more bytes than it delivers.
bool SetExchangeTimeouts(HANDLE handle) {
    COMMTIMEOUTS exchange{};
    exchange.ReadIntervalTimeout = MAXDWORD;
    exchange.ReadTotalTimeoutMultiplier = 0;
    exchange.ReadTotalTimeoutConstant = 0;
    exchange.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
    exchange.WriteTotalTimeoutConstant = kWriteMsConstant;
    if (SetCommTimeouts(handle, &exchange) == FALSE) {
        TraceFailed("SetCommTimeouts()");
        return false;
    }
    return true;
}

// The named CE_ bits of a line error, after the word in hexadecimal.
void TraceErrorWord(DWORD errors) {
    struct Bit {
        DWORD bit;
        const char* name;
    };
    constexpr Bit kBits[] = {{CE_RXOVER, " CE_RXOVER"},
                             {CE_OVERRUN, " CE_OVERRUN"},
                             {CE_RXPARITY, " CE_RXPARITY"},
                             {CE_FRAME, " CE_FRAME"},
                             {CE_BREAK, " CE_BREAK"}};
    char what[96];
    int used = std::snprintf(what, sizeof what, "0x%04lX", static_cast<unsigned long>(errors));
    for (const Bit& bit : kBits) {
        if ((errors & bit.bit) != 0 && used > 0 && static_cast<std::size_t>(used) < sizeof what) {
            used += std::snprintf(what + used, sizeof what - static_cast<std::size_t>(used), "%s",
                                  bit.name);
        }
    }
    TraceLineError("ClearCommError()", what);
}

// True when another morva holds the port's mutex. Asked before the open, which may raise DTR
// and RTS of a real port that another morva holds between the exchanges of a command; a
// mutex that nobody has open does not exist, so a missing port costs no mutex.
bool HeldByAnother(int port) {
    char name[48];
    FormGuardName(port, name);
    HANDLE guard = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
    if (guard == nullptr) {
        return false;
    }
    const bool free = TryTake(guard);
    if (free) {
        ReleaseMutex(guard);
    }
    CloseHandle(guard);
    return !free;
}

}  // namespace

int SerialOpen(int port, CommPort* commPort) {
    char name[32];
    static_cast<void>(std::snprintf(name, sizeof name, "\\\\.\\COM%d", port));
    if (HeldByAnother(port)) {
        return 0;
    }
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        TraceFailed("CreateFileA()");
        // A USB driver may still be closing the port from the previous exchange.
        return GetLastError() == ERROR_ACCESS_DENIED ? kSerialBusy : 0;
    }
    // Taken after the open, so that a port that does not exist costs only the failed open, and
    // before the settings, so that a holder's line is never touched.
    HANDLE guard = TakeGuard(port);
    if (guard == nullptr) {
        CloseHandle(handle);
        return 0;
    }
    DCB dcb;
    if (GetCommState(handle, &dcb) == FALSE) {
        TraceFailed("GetCommState()");
        Release(handle, guard);
        return 0;
    }
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + kFlagsOffset, sizeof flags);
    flags = (flags & kFlagsKeep) | kFlagsSet;
    std::memcpy(reinterpret_cast<char*>(&dcb) + kFlagsOffset, &flags, sizeof flags);
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.ErrorChar = 0x03;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x04;
    PortState state{guard, {}};
    if (SetCommState(handle, &dcb) == FALSE) {
        TraceFailed("SetCommState()");
        Release(handle, guard);
        return 0;
    }
    if (GetCommTimeouts(handle, &state.before) == FALSE) {
        TraceFailed("GetCommTimeouts()");
        Release(handle, guard);
        return 0;
    }
    if (!SetExchangeTimeouts(handle)) {
        RestoreAndRelease(handle, state);
        return 0;
    }
    // A driver may keep what arrived while the port was closed.
    if (PurgeComm(handle, PURGE_RXCLEAR) == FALSE) {
        TraceFailed("PurgeComm()");
        RestoreAndRelease(handle, state);
        return 0;
    }
    commPort->handle = reinterpret_cast<std::intptr_t>(handle);
    KeepPlatformState(commPort, state);
    return kSerialOpened;
}

void SerialClose(CommPort* commPort) {
    RestoreAndRelease(AsHandle(commPort), PlatformStateOf<PortState>(commPort));
    commPort->handle = -1;
    KeepPlatformState(commPort, PortState{});
}

int SerialQueryStatus(CommPort* commPort, std::uint32_t* errorWord, std::uint32_t* waiting) {
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(AsHandle(commPort), &errors, &status) == FALSE) {
        TraceFailed("ClearCommError()");
        return 0;
    }
    if (errors != 0) {
        TraceErrorWord(errors);
    }
    *errorWord = errors;
    *waiting = status.cbInQue;
    return 1;
}

int SerialRead(CommPort* commPort, char* buffer, int count, int* got) {
    DWORD read = 0;
    if (ReadFile(AsHandle(commPort), buffer, static_cast<DWORD>(count), &read, nullptr) == FALSE) {
        TraceFailed("ReadFile()");
        return 0;
    }
    *got = static_cast<int>(read);
    return 1;
}

int SerialWrite(CommPort* commPort, const char* bytes, int count) {
    // A write that times out ends early, with success or with a failure: both are a failed
    // write.
    DWORD written = 0;
    if (WriteFile(AsHandle(commPort), bytes, static_cast<DWORD>(count), &written, nullptr) ==
        FALSE) {
        TraceFailed("WriteFile()");
        return 0;
    }
    if (written != static_cast<DWORD>(count)) {
        TraceShortTransfer("WriteFile()", written, static_cast<unsigned long>(count));
        return 0;
    }
    return 1;
}

void SerialSleep(int milliseconds) {
    Sleep(static_cast<DWORD>(milliseconds));
}

bool PortHeldByAnotherMorva(int port) {
    return HeldByAnother(port);
}

int HoldPort(int port) {
    if (g_hold != nullptr) {
        return 1;
    }
    g_hold = TakeGuard(port);
    return g_hold != nullptr ? 1 : 0;
}

void ReleasePortHold() {
    if (g_hold != nullptr) {
        DropGuard(g_hold);
        g_hold = nullptr;
    }
}

}  // namespace morva

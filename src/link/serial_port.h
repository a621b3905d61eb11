// Platform primitives of one serial port: serial_posix.cpp and serial_win.cpp implement them
// side by side, in the same order; tests link a scripted fake instead. Nothing here prints but
// the line of each failed system call at verbose level 3 and above (link/failure_trace.h).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace morva {

// One open port: the system's handle, and a block that only the serial_*.cpp file of the
// running platform reads and writes (its own struct, copied in and out).
struct CommPort {
    std::intptr_t handle = -1;
    alignas(std::uint64_t) std::array<unsigned char, 64> platform{};
};

// The platform side's own struct, copied out of and into CommPort::platform.
template <typename State>
State PlatformStateOf(const CommPort* commPort) {
    static_assert(sizeof(State) <= sizeof(CommPort::platform) &&
                  std::is_trivially_copyable_v<State>);
    State state;
    std::memcpy(&state, commPort->platform.data(), sizeof state);
    return state;
}

template <typename State>
void KeepPlatformState(CommPort* commPort, const State& state) {
    static_assert(sizeof(State) <= sizeof(CommPort::platform) &&
                  std::is_trivially_copyable_v<State>);
    std::memcpy(commPort->platform.data(), &state, sizeof state);
}

// Results of SerialOpen besides 0 (failed, nothing left open).
inline constexpr int kSerialOpened = 1;
inline constexpr int kSerialBusy = 2;  // the system refused the open as busy; nothing left open

// Opens COM port `port` exclusively, applies 9600 baud 8N1, no flow control, DTR and RTS off,
// and empties the input queue, so that nothing that arrived before the exchange (a late reply,
// a byte after a reply byte, a boot message) is read as its answer. Returns kSerialOpened when
// open and configured; kSerialBusy when the system refused the open as busy (Windows
// ERROR_ACCESS_DENIED, Linux EBUSY: a driver still closing the port after the previous
// exchange, or another program's exclusive open), which OpenCommPort tries again while the
// update holds the port; 0 on any other failure. Nothing is left open unless it returns
// kSerialOpened. Refused, as a port held by another program, while another morva process runs
// an exchange on the port or holds it (HoldPort); that is found before the port is opened, so
// its lines stay as the holder left them.
// Windows: share mode 0, and the per-port mutex Local\morva-COM<n> held for the exchange (Wine
// does not enforce exclusive opens of devices). The port's COMMTIMEOUTS are read at the open
// and kept; for the exchange the write time-out is 2 ms a byte plus 2000 ms (ample for 9600
// baud) and reads return at once with what has arrived (ReadIntervalTimeout MAXDWORD, both read
// totals 0), and the old ones are put back at the close and on every failure after the set.
// The input queue is emptied with PurgeComm(PURGE_RXCLEAR) only: the output queue and anything
// in flight are left alone.
// Linux: first flock(LOCK_EX) on the device's lock file (see HoldPort), then the tty is opened;
// refused when another program marked the tty exclusive (TIOCEXCL; checked, since root's open
// passes the mark) or holds a flock on it. The exchange holds flock(LOCK_EX) on the tty, which
// binds only programs that ask for it, and, on ttys other than pseudo-terminals, sets the
// exclusive mark (refusing other users' opens; the kernel clears it at the last close, so also
// when morva is killed). Pseudo-terminals get no mark: their tty outlives every close while the
// master is open, and a mark left by a killed morva would lock other users out. The input
// queue is emptied with tcflush(TCIFLUSH) after the settings. SIGINT, SIGTERM and SIGHUP during
// an exchange close the port first (mark cleared), then end the process by the signal as its
// default action does.
int SerialOpen(int port, CommPort* commPort);

// Closes the port, clears the exclusive mark that the open set, and gives up the exchange's
// locks. Windows: puts back the time-outs that the port had before the open.
void SerialClose(CommPort* commPort);

// Tells whether a line error happened since the previous query (non-zero *errorWord) and how
// many received bytes wait. Returns 1, or 0 when the query itself failed.
int SerialQueryStatus(CommPort* commPort, std::uint32_t* errorWord, std::uint32_t* waiting);

// Reads up to `count` bytes that already wait, never blocking. Returns 1 with *got set, or 0.
int SerialRead(CommPort* commPort, char* buffer, int count, int* got);

// Writes `count` bytes. Returns 1 when every byte was handed to the port, 0 otherwise: a failed
// call, a write that timed out or fewer bytes written is a failed write. Windows: one WriteFile
// call under the write time-out that the open set. Linux: the port is non-blocking, so the write
// goes on while the system takes bytes, waiting for room up to 2 s at a time.
int SerialWrite(CommPort* commPort, const char* bytes, int count);

// The wait before every poll of the input queue.
void SerialSleep(int milliseconds);

// Holds COM port `port` against every other morva process for a whole command (a firmware
// update, whose exchanges each open and close the port), without opening the port; the
// exchanges of this process go on as before. One hold at a time. Returns 0 when another morva
// process holds the port or runs an exchange on it; 1 otherwise. The system drops the hold when
// the process ends in any way.
// Windows: the per-port mutex, owned by the calling thread until ReleasePortHold; 1 also when
// there is no such port (its exchanges then fail to open it).
// Linux: flock(LOCK_EX) on the device's lock file morva-tty-<major>-<minor>.lock (so two port
// numbers linked to one device share it) in /run/lock when every user may write there, else
// /tmp; made with mode 0666 and left there. Whether the port is free is judged here, once: 0
// also when there is no such port, when the tty is in use (a terminal, a console, a UUCP lock
// file of a live process), and when the lock file's name is unusable or none can be made.
// While the hold lasts, the exchanges on its device are not refused for a terminal, console or
// lock file that appeared since.
int HoldPort(int port);

// Gives up the hold of HoldPort, if any.
void ReleasePortHold();

}  // namespace morva

// What the POSIX serial port shares between its files: the lock file of a port's device
// (port_lock_posix.cpp) and the release of an open port on an interrupt (interrupts_posix.cpp).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>

namespace morva {

inline constexpr int kDevicePathSize = 1024;

// The character device that COM port n names, its path in `path` (kDevicePathSize bytes);
// false when the name is none.
bool FindPortDevice(int port, char* path, dev_t* device);
// The status of the tty that FindPortDevice found last, when it is `device`; else nullptr.
const struct stat* JudgedTty(dev_t device);

// Takes the lock file of `device` for the exchange, before the tty is opened: true when the tty
// is in use (TtyInUse), another morva's exchange or whole-command hold has the lock file, or
// its name holds something unusable as a lock. Always false for the device that this process
// holds (HoldPort), which was judged when the hold was taken.
bool HeldElsewhere(dev_t device);

// The lock-file part of HeldElsewhere alone: true when another morva's exchange or
// whole-command hold has the lock file, or its name holds something unusable as a lock.
bool LockedByAnother(dev_t device);

// Gives up the exchange's lock file, if any.
void DropLock();

// The port of the running exchange, for the interrupt handler: its descriptor (-1: none) and
// whether this process set its exclusive mark.
extern volatile std::sig_atomic_t g_openFd;
extern volatile std::sig_atomic_t g_marked;

// Once per run, before the first port opens: SIGINT, SIGTERM and SIGHUP release the port of
// the running exchange, then end the process by the signal.
void CatchInterrupts();

}  // namespace morva

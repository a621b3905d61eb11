// Ttys that people or the system use, which the Linux serial port refuses before its open
// would raise their modem lines and its settings take them over.
#pragma once

#include <sys/types.h>

namespace morva {

// True when the tty `device` is in use: the controlling terminal of a process (a login
// shell's terminal), the kernel's console or a virtual console, or a port under a UUCP lock
// file LCK..<kernel name> in /run/lock or /var/lock that names a live process (or that is no
// regular file, or cannot be read). The process list and the consoles are read once per run,
// at the first call: every /dev/pts/<n> that is a controlling terminal is kept, however many
// there are, and 1024 others; past those, a tty not among them is looked for in a pass of its
// own. The lock files are read at every call.
bool TtyInUse(dev_t device);

// Why TtyInUse holds, the first reason in the order below.
enum class TtyUse { kFree, kConsole, kControlling, kUucpLock };
TtyUse TtyUseOf(dev_t device);

}  // namespace morva

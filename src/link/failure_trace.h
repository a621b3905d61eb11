// The lines that the port layer (serial_posix.cpp, serial_win.cpp) prints at verbose level 3
// and above, one for each system call that failed, before the messages of the exchange. Both
// builds print the same forms, the call named as the system names it.
#pragma once

namespace morva {

// "<call> failure : error <error>\n", with the system's error code (Windows GetLastError,
// Linux errno): "CreateFileA() failure : error 5", "open() failure : error 16".
void TraceFailedCall(const char* call, unsigned long error);

// "<call> failure : <done> of <count> bytes\n": a transfer that the system ended early without
// an error code.
void TraceShortTransfer(const char* call, unsigned long done, unsigned long count);

// "<call> line error : <what>\n", what the status query reported: "ClearCommError() line error
// : 0x0010 CE_BREAK", "ioctl(TIOCGICOUNT) line error : frame".
void TraceLineError(const char* call, const char* what);

}  // namespace morva

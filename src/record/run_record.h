// The run record: with MORVA_RECORD naming a file, every run with command words appends one
// JSON line to it when it ends (what ran, on which port and device, with which firmware, how
// each pass went, the exit code). Without it nothing of this does anything: the calls below
// return at once, and no file is touched.
#pragma once

#include <cstddef>

namespace morva {

// Kinds of run, each with fields of its own.
inline constexpr int kRecordNone = 0;  // ended before the command was known
inline constexpr int kRecordPassThrough = 1;
inline constexpr int kRecordScan = 2;
inline constexpr int kRecordScom = 3;
inline constexpr int kRecordUpdate = 4;

// Starts the record when the variable names a file (reads the clock and who runs it).
void BeginRecord();
bool Recording();

// The command word and its parameters as joined for the device, or the built-in word.
void RecordCommand(int kind, const char* text, std::size_t length);
// The COM port used and the device behind it (byId: a /dev/serial/by-id name, or null).
void RecordPort(int port, const char* device, const char* byId);
// The USB adapter behind the port, where the system names one (Windows): its instance ID,
// "VID:PID" and serial (null or empty when it has none).
void RecordAdapter(const char* instanceId, const char* usbId, const char* serial);
// Every message printed; the record keeps the last one, without its line ends.
void RecordMessage(const char* text);
// Pass-through: the bytes sent, and the reply (null when none came).
void RecordExchange(const char* sent, const char* reply);
// The bytes of a reply that came without its carriage return in time, or overflowed.
void RecordPartialReply(const char* bytes);
// HWSC: a listed port.
void RecordFound(int port);
// SCOM: the port stored, or shown.
void RecordScom(bool stored, int port);
// UPDT: the file (a full path) and the flash flag; then what the check read (sha256Hex: lower
// case, or null).
void RecordFirmware(const char* fullPath, int flash);
void RecordChecked(long long bytes, int lines, const char* sha256Hex);
// A pass (name "test" or "flash") begins; a line is being sent; a reply byte came (to a line
// when `toLine`); a line was taken; the pass ends (completed or not).
void RecordPassBegin(const char* name);
void RecordLine(int line);
void RecordReply(unsigned char reply, bool toLine);
void RecordLineTaken();
void RecordPassEnd(bool completed);

// Appends the line with the exit code; at verbose level 1 a trace says when it could not.
void EndRecord(int exitCode);

// Async-signal-safe: appends the line prepared for a run that a signal ends in the middle of
// an update, if there is one. Called by the interrupt handler after the port is released.
void WriteInterruptedRecord();

}  // namespace morva

// The COM port number kept in morva.ini beside the executable, and the SCOM command.
#pragma once

namespace morva {

// The stored port: > 0 the port, 0 no settings file (or the value reads as 0), < 0 the file
// has no usable port key (-1) or the value is negative.
int ReadPortSetting(const char* programPath);

// Stores `portText` under [morva] port= in the settings file.
void WritePortSetting(const char* programPath, const char* portText);

// Handler of SCOM: stores the port given after the command word, or shows the stored one.
// Returns the exit code.
int SetComPort(int argc, const char* const* argv, int commandIndex);

}  // namespace morva

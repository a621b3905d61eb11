// The HWSC command: asks COM1 to COM256 for their identity and lists the Tarvex devices.
#pragma once

namespace morva {

// Prints the ports whose identity reply names a known model, or that none is connected.
// Always returns 0.
int ScanDevices();

}  // namespace morva

// What a Windows device instance ID tells of the adapter behind a COM port: the USB vendor and
// product, the adapter's serial number, and whether it is a Bluetooth link.
#pragma once

#include <array>

namespace morva {

inline constexpr int kAdapterSerialSize = 128;

struct AdapterId {
    std::array<char, 10> usbId{};  // "0403:6001", upper-case hexadecimal; empty: not USB
    std::array<char, kAdapterSerialSize> serial{};  // empty: none in this ID
    bool bluetooth = false;
    bool interfaceOfParent =
        false;  // a function (MI_xx) or FTDIBUS child: its parent is the device
};

// Reads `USB\VID_xxxx&PID_xxxx[&MI_xx]\<serial>` and `FTDIBUS\VID_xxxx+PID_xxxx+<serial>\0000`
// (whose serial carries the channel letter that FTDI's driver appends). A last part that
// Windows made up (it holds '&') is no serial. False when the ID names no USB or Bluetooth
// device.
bool ReadInstanceId(const char* id, AdapterId* adapter);

}  // namespace morva

// The COM ports of a Windows machine as the system lists them, without opening any: the Ports
// class and the COM port interface through SetupAPI, united with the registry's SERIALCOMM
// (where virtual ports appear only), and the adapter behind each port.
#pragma once

#include <array>

#include "ports/adapter_id.h"

namespace morva {

inline constexpr int kComListLimit = 256;
inline constexpr int kComTextSize = 256;

struct ComPort {
    int port = 0;  // COM<port>
    std::array<char, kComTextSize> friendlyName{};
    std::array<char, kComTextSize> instanceId{};  // empty: the registry's SERIALCOMM alone
    std::array<char, kComTextSize> driver{};      // the device's service, or the SERIALCOMM name
    AdapterId adapter;  // the USB IDs and serial of the device, or of its parent
    bool fromSetupApi = false;
};

// Fills `ports` (room for kComListLimit), in COM-number order, each number once; returns the
// count, 0 when there is none. COM numbers outside 1 to 256 are left out.
int ListComPorts(ComPort* ports);

// The adapter behind COM<port> as ListComPorts finds it; false when none is listed.
bool FindComPort(int port, ComPort* found);

}  // namespace morva

#include <cstdio>

#include "link/port_name.h"
#include "ports/com_list_win.h"

namespace morva {

bool NamePortDevice(int port, char* device, char* byId) {
    static_cast<void>(std::snprintf(device, kPortNameSize, "\\\\.\\COM%d", port));
    byId[0] = '\0';
    return false;
}

bool NamePortAdapter(int port, char* instanceId, char* usbId, char* serial) {
    ComPort found;
    if (!FindComPort(port, &found) || found.adapter.usbId[0] == '\0') {
        return false;
    }
    static_cast<void>(std::snprintf(instanceId, kAdapterTextSize, "%s", found.instanceId.data()));
    static_cast<void>(std::snprintf(usbId, kAdapterTextSize, "%s", found.adapter.usbId.data()));
    static_cast<void>(std::snprintf(serial, kAdapterTextSize, "%s", found.adapter.serial.data()));
    return true;
}

}  // namespace morva

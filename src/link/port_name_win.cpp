#include <cstdio>

#include "link/port_name.h"

namespace morva {

bool NamePortDevice(int port, char* device, char* byId) {
    static_cast<void>(std::snprintf(device, kPortNameSize, "\\\\.\\COM%d", port));
    byId[0] = '\0';
    return false;
}

}  // namespace morva

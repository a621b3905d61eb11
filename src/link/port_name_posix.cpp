#include <dirent.h>
#include <sys/types.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/port_name.h"
#include "link/serial_posix_shared.h"

namespace morva {
namespace {

constexpr char kByIdFolder[] = "/dev/serial/by-id";

// A name too long for the record is cut.
void CopyName(char* into, const char* name) {
    const std::size_t length = strnlen(name, kPortNameSize - 1);
    std::memcpy(into, name, length);
    into[length] = '\0';
}

}  // namespace

bool NamePortDevice(int port, char* device, char* byId) {
    char path[kDevicePathSize] = {};
    dev_t number = 0;
    static_cast<void>(FindPortDevice(port, path, &number));
    char resolved[PATH_MAX];
    const bool exists = realpath(path, resolved) != nullptr;
    CopyName(device, exists ? resolved : path);
    byId[0] = '\0';
    DIR* folder = exists ? opendir(kByIdFolder) : nullptr;
    if (folder == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(folder)) {
        char link[PATH_MAX];
        char target[PATH_MAX];
        if (entry->d_name[0] == '.' ||
            std::snprintf(link, sizeof link, "%s/%s", kByIdFolder, entry->d_name) >=
                static_cast<int>(sizeof link) ||
            realpath(link, target) == nullptr || std::strcmp(target, resolved) != 0) {
            continue;
        }
        CopyName(byId, link);
        found = true;
        break;
    }
    closedir(folder);
    return found;
}

bool NamePortAdapter(int /*port*/, char* instanceId, char* usbId, char* serial) {
    instanceId[0] = usbId[0] = serial[0] = '\0';
    return false;
}

}  // namespace morva

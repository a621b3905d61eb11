#include "ports/com_list_win.h"

#include <windows.h>
// windows.h first.
#include <cfgmgr32.h>
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>
// The COM port interface class, {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
DEFINE_GUID(kComPortInterface, 0x86E0D1E0L, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30,
            0x1F, 0x73);

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace morva {
namespace {

// "COM12" -> 12; 0 for anything else or outside 1 to 256.
int ReadComName(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] == '\0') {
        return 0;
    }
    int port = 0;
    for (const char* digit = name + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || port > kComListLimit) {
            return 0;
        }
        port = port * 10 + (*digit - '0');
    }
    return port >= 1 && port <= kComListLimit ? port : 0;
}

void Copy(std::array<char, kComTextSize>* to, const char* from) {
    static_cast<void>(std::snprintf(to->data(), to->size(), "%s", from));
}

// The entry of COM<port>, made when missing; nullptr when the list is full.
ComPort* EntryOf(ComPort* ports, int* count, int port) {
    for (int i = 0; i < *count; ++i) {
        if (ports[i].port == port) {
            return &ports[i];
        }
    }
    if (*count >= kComListLimit) {
        return nullptr;
    }
    ports[*count] = ComPort{};
    ports[*count].port = port;
    return &ports[(*count)++];
}

bool Property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property,
              std::array<char, kComTextSize>* text) {
    DWORD type = 0;
    text->fill('\0');
    return SetupDiGetDeviceRegistryPropertyA(
               set, device, property, &type, reinterpret_cast<BYTE*>(text->data()),
               static_cast<DWORD>(text->size() - 1), nullptr) != FALSE &&
           type == REG_SZ;
}

// The adapter of a device: its own IDs, or its parent's serial where the device is one
// function of a composite device or a child of FTDI's bus.
void FindAdapter(DEVINST instance, const char* id, AdapterId* adapter) {
    ReadInstanceId(id, adapter);
    if (!adapter->interfaceOfParent) {
        return;
    }
    DEVINST parent = 0;
    std::array<char, MAX_DEVICE_ID_LEN + 1> parentId{};
    AdapterId above;
    if (CM_Get_Parent(&parent, instance, 0) == CR_SUCCESS &&
        CM_Get_Device_IDA(parent, parentId.data(), MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS &&
        ReadInstanceId(parentId.data(), &above) && above.serial[0] != '\0') {
        adapter->serial = above.serial;
        return;
    }
    // FTDI's driver appends the channel letter to the chip's serial.
    const std::size_t length = std::strlen(adapter->serial.data());
    if (std::strncmp(id, "FTDIBUS", 7) == 0 && length > 1) {
        adapter->serial[length - 1] = '\0';
    }
}

void AddSetupApiPorts(const GUID* guid, DWORD flags, ComPort* ports, int* count) {
    HDEVINFO set = SetupDiGetClassDevsA(guid, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device) != FALSE; ++index) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        std::array<char, 32> name{};
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(name.size() - 1);
        const bool named =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name.data()),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        RegCloseKey(key);
        const int port = named ? ReadComName(name.data()) : 0;
        ComPort* entry = port > 0 ? EntryOf(ports, count, port) : nullptr;
        if (entry == nullptr || entry->fromSetupApi) {
            continue;
        }
        entry->fromSetupApi = true;
        Property(set, &device, SPDRP_FRIENDLYNAME, &entry->friendlyName);
        Property(set, &device, SPDRP_SERVICE, &entry->driver);
        if (SetupDiGetDeviceInstanceIdA(set, &device, entry->instanceId.data(),
                                        static_cast<DWORD>(entry->instanceId.size() - 1),
                                        nullptr) != FALSE) {
            FindAdapter(device.DevInst, entry->instanceId.data(), &entry->adapter);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: one value per port, "<kernel name>" = "COM<n>".
void AddSerialComm(ComPort* ports, int* count) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        std::array<char, kComTextSize> name{};
        std::array<char, 32> value{};
        DWORD nameSize = static_cast<DWORD>(name.size() - 1);
        DWORD valueSize = static_cast<DWORD>(value.size() - 1);
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, name.data(), &nameSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(value.data()), &valueSize);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        const int port = ReadComName(value.data());
        ComPort* entry = port > 0 ? EntryOf(ports, count, port) : nullptr;
        if (entry != nullptr && entry->driver[0] == '\0') {
            Copy(&entry->driver, name.data());
        }
    }
    RegCloseKey(key);
}

}  // namespace

int ListComPorts(ComPort* ports) {
    int count = 0;
    AddSetupApiPorts(&GUID_DEVCLASS_PORTS, DIGCF_PRESENT, ports, &count);
    AddSetupApiPorts(&kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, ports, &count);
    AddSerialComm(ports, &count);
    std::sort(ports, ports + count,
              [](const ComPort& a, const ComPort& b) { return a.port < b.port; });
    return count;
}

bool FindComPort(int port, ComPort* found) {
    static std::array<ComPort, kComListLimit> ports;
    const int count = ListComPorts(ports.data());
    for (int i = 0; i < count; ++i) {
        if (ports[i].port == port) {
            *found = ports[i];
            return true;
        }
    }
    return false;
}

}  // namespace morva

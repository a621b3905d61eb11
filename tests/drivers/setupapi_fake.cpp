#include "setupapi_fake.h"

#include <cstring>

// The two interface classes that the list asks for, told apart by their first field.
constexpr unsigned long kPortsClassData1 = 0x4D36E978UL;
constexpr unsigned long kComInterfaceData1 = 0x86E0D1E0UL;

namespace setupapifake {
namespace {

const Tree* g_tree = nullptr;
// A device set: the indices of its devices.
std::vector<std::vector<int>> g_sets;
// Keys: 1 to 4095 the device keys (index + 1), 4096 SERIALCOMM.
constexpr std::uintptr_t kSerialCommKey = 4096;

bool Fits(const std::string& text, DWORD size) {
    return text.size() + 1 <= size;
}

const std::vector<int>* SetOf(HDEVINFO set) {
    const auto n = reinterpret_cast<std::uintptr_t>(set);
    return n >= 1 && n <= g_sets.size() ? &g_sets[n - 1] : nullptr;
}

const Device* DeviceOf(HDEVINFO set, PSP_DEVINFO_DATA data) {
    if (SetOf(set) == nullptr || data == nullptr || data->DevInst < 1 ||
        data->DevInst > g_tree->devices.size()) {
        return nullptr;
    }
    return &g_tree->devices[data->DevInst - 1];
}

}  // namespace

void Use(const Tree& tree) {
    g_tree = &tree;
    g_sets.clear();
}

HDEVINFO WINAPI GetClassDevsA(const GUID* guid, PCSTR /*enumerator*/, HWND /*parent*/,
                              DWORD flags) {
    std::vector<int> set;
    const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
    for (std::size_t i = 0; i < g_tree->devices.size(); ++i) {
        const Device& device = g_tree->devices[i];
        if ((guid->Data1 == kPortsClassData1 && !interfaces && device.portsClass) ||
            (guid->Data1 == kComInterfaceData1 && interfaces && device.comInterface)) {
            set.push_back(static_cast<int>(i));
        }
    }
    g_sets.push_back(set);
    return reinterpret_cast<HDEVINFO>(g_sets.size());
}

BOOL WINAPI EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    const std::vector<int>* devices = SetOf(set);
    if (devices == nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) ||
        index >= devices->size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->DevInst = static_cast<DWORD>((*devices)[index] + 1);
    return TRUE;
}

HKEY WINAPI OpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD /*scope*/, DWORD /*profile*/,
                          DWORD keyType, REGSAM /*access*/) {
    const Device* device = DeviceOf(set, data);
    if (device == nullptr || keyType != DIREG_DEV) {
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(data->DevInst));
}

BOOL WINAPI GetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    const Device* device = DeviceOf(set, data);
    const std::string* text = nullptr;
    if (device != nullptr && property == SPDRP_FRIENDLYNAME && !device->friendlyName.empty()) {
        text = &device->friendlyName;
    } else if (device != nullptr && property == SPDRP_SERVICE && !device->service.empty()) {
        text = &device->service;
    }
    if (text == nullptr) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (required != nullptr) {
        *required = static_cast<DWORD>(text->size() + 1);
    }
    if (!Fits(*text, size)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (type != nullptr) {
        *type = REG_SZ;
    }
    std::memcpy(buffer, text->c_str(), text->size() + 1);
    return TRUE;
}

BOOL WINAPI GetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD size,
                                 PDWORD /*required*/) {
    const Device* device = DeviceOf(set, data);
    if (device == nullptr || !Fits(device->instanceId, size)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(id, device->instanceId.c_str(), device->instanceId.size() + 1);
    return TRUE;
}

BOOL WINAPI DestroyDeviceInfoList(HDEVINFO set) {
    return SetOf(set) != nullptr ? TRUE : FALSE;
}

CONFIGRET WINAPI GetParent(PDEVINST parent, DEVINST instance, ULONG /*flags*/) {
    if (instance < 1 || instance > g_tree->devices.size() ||
        g_tree->devices[instance - 1].parent < 0) {
        return CR_NO_SUCH_DEVNODE;
    }
    *parent = static_cast<DEVINST>(g_tree->devices[instance - 1].parent + 1);
    return CR_SUCCESS;
}

CONFIGRET WINAPI GetDeviceIdA(DEVINST instance, PSTR id, ULONG size, ULONG /*flags*/) {
    if (instance < 1 || instance > g_tree->devices.size()) {
        return CR_NO_SUCH_DEVNODE;
    }
    const std::string& text = g_tree->devices[instance - 1].instanceId;
    if (text.size() + 1 > size) {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(id, text.c_str(), text.size() + 1);
    return CR_SUCCESS;
}

LSTATUS WINAPI QueryValueExA(HKEY key, LPCSTR name, LPDWORD /*reserved*/, LPDWORD type, LPBYTE data,
                             LPDWORD size) {
    const auto n = reinterpret_cast<std::uintptr_t>(key);
    if (n < 1 || n > g_tree->devices.size() || std::strcmp(name, "PortName") != 0 ||
        g_tree->devices[n - 1].portName.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string& text = g_tree->devices[n - 1].portName;
    if (!Fits(text, *size)) {
        return ERROR_MORE_DATA;
    }
    *type = REG_SZ;
    std::memcpy(data, text.c_str(), text.size() + 1);
    *size = static_cast<DWORD>(text.size() + 1);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI OpenKeyExA(HKEY key, LPCSTR name, DWORD /*options*/, REGSAM /*access*/,
                          PHKEY opened) {
    if (key != HKEY_LOCAL_MACHINE || std::strcmp(name, "HARDWARE\\DEVICEMAP\\SERIALCOMM") != 0 ||
        g_tree->serialComm.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    *opened = reinterpret_cast<HKEY>(kSerialCommKey);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI EnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD /*reserved*/,
                          LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (reinterpret_cast<std::uintptr_t>(key) != kSerialCommKey) {
        return ERROR_INVALID_HANDLE;
    }
    if (index >= g_tree->serialComm.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const auto& [valueName, value] = g_tree->serialComm[index];
    if (valueName.size() + 1 > *nameSize || !Fits(value, *dataSize)) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, valueName.c_str(), valueName.size() + 1);
    *nameSize = static_cast<DWORD>(valueName.size());
    std::memcpy(data, value.c_str(), value.size() + 1);
    *dataSize = static_cast<DWORD>(value.size() + 1);
    *type = REG_SZ;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI CloseKey(HKEY /*key*/) {
    return ERROR_SUCCESS;
}

}  // namespace setupapifake

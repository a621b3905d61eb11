// A fake of the SetupAPI, configuration manager and registry calls that the COM port list makes
// (src/ports/com_list_win.cpp), over a device tree given as data, for tests of the list on
// trees recorded from real machines. setupapi_imports_win64.cpp or _win32.cpp point the list's
// import entries (__imp_<name>) at these functions, as the driver model does for kernel32.
#pragma once

#include <windows.h>
// windows.h first.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace setupapifake {

struct Device {
    std::string instanceId;
    int parent = -1;  // index in the tree; -1: a root
    std::string friendlyName;
    std::string service;
    std::string portName;       // PortName of the device's key; empty: none
    bool portsClass = false;    // listed in the Ports class
    bool comInterface = false;  // has the COM port interface
};

struct Tree {
    std::vector<Device> devices;
    // HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: value name, value.
    std::vector<std::pair<std::string, std::string>> serialComm;
};

// The tree that the fakes answer from, until the next call.
void Use(const Tree& tree);

HDEVINFO WINAPI GetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL WINAPI EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
HKEY WINAPI OpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD profile,
                          DWORD keyType, REGSAM access);
BOOL WINAPI GetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD required);
BOOL WINAPI GetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD size,
                                 PDWORD required);
BOOL WINAPI DestroyDeviceInfoList(HDEVINFO set);
CONFIGRET WINAPI GetParent(PDEVINST parent, DEVINST instance, ULONG flags);
CONFIGRET WINAPI GetDeviceIdA(DEVINST instance, PSTR id, ULONG size, ULONG flags);
LSTATUS WINAPI QueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size);
LSTATUS WINAPI OpenKeyExA(HKEY key, LPCSTR name, DWORD options, REGSAM access, PHKEY opened);
LSTATUS WINAPI EnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                          LPDWORD type, LPBYTE data, LPDWORD dataSize);
LSTATUS WINAPI CloseKey(HKEY key);

}  // namespace setupapifake

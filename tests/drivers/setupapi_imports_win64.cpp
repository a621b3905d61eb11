// The 64-bit import entries of the port list's SetupAPI, configuration manager and registry
// calls, pointed at the fake (as imports_win64.cpp does for the driver model).
#include "setupapi_fake.h"

#define FAKE_IMPORT(name, fake) \
    decltype(&setupapifake::fake) g_import##name __asm__("__imp_" #name) = setupapifake::fake;

extern "C" {

FAKE_IMPORT(SetupDiGetClassDevsA, GetClassDevsA)
FAKE_IMPORT(SetupDiEnumDeviceInfo, EnumDeviceInfo)
FAKE_IMPORT(SetupDiOpenDevRegKey, OpenDevRegKey)
FAKE_IMPORT(SetupDiGetDeviceRegistryPropertyA, GetDeviceRegistryPropertyA)
FAKE_IMPORT(SetupDiGetDeviceInstanceIdA, GetDeviceInstanceIdA)
FAKE_IMPORT(SetupDiDestroyDeviceInfoList, DestroyDeviceInfoList)
FAKE_IMPORT(CM_Get_Parent, GetParent)
FAKE_IMPORT(CM_Get_Device_IDA, GetDeviceIdA)
FAKE_IMPORT(RegQueryValueExA, QueryValueExA)
FAKE_IMPORT(RegOpenKeyExA, OpenKeyExA)
FAKE_IMPORT(RegEnumValueA, EnumValueA)
FAKE_IMPORT(RegCloseKey, CloseKey)
}

// The 32-bit import entries of the port list's calls: as in setupapi_imports_win64.cpp, with the
// names decorated as for __stdcall, __imp__<name>@<bytes of arguments>.
#include "setupapi_fake.h"

#define FAKE_IMPORT(name, bytes, fake)                                                 \
    decltype(&setupapifake::fake) g_import##name __asm__("__imp__" #name "@" #bytes) = \
        setupapifake::fake;

extern "C" {

FAKE_IMPORT(SetupDiGetClassDevsA, 16, GetClassDevsA)
FAKE_IMPORT(SetupDiEnumDeviceInfo, 12, EnumDeviceInfo)
FAKE_IMPORT(SetupDiOpenDevRegKey, 24, OpenDevRegKey)
FAKE_IMPORT(SetupDiGetDeviceRegistryPropertyA, 28, GetDeviceRegistryPropertyA)
FAKE_IMPORT(SetupDiGetDeviceInstanceIdA, 20, GetDeviceInstanceIdA)
FAKE_IMPORT(SetupDiDestroyDeviceInfoList, 4, DestroyDeviceInfoList)
FAKE_IMPORT(CM_Get_Parent, 12, GetParent)
FAKE_IMPORT(CM_Get_Device_IDA, 16, GetDeviceIdA)
FAKE_IMPORT(RegQueryValueExA, 24, QueryValueExA)
FAKE_IMPORT(RegOpenKeyExA, 20, OpenKeyExA)
FAKE_IMPORT(RegEnumValueA, 32, EnumValueA)
FAKE_IMPORT(RegCloseKey, 4, CloseKey)
}

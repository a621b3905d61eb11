// The 32-bit build's import entries of the modelled functions: as in imports_win64.cpp, with
// the names decorated as for __stdcall, __imp__<name>@<bytes of arguments>.
#include "driver_model.h"

#define MODEL_IMPORT(name, bytes)                                                            \
    decltype(&drivermodel::Model##name) g_import##name __asm__("__imp__" #name "@" #bytes) = \
        drivermodel::Model##name;

extern "C" {

MODEL_IMPORT(CreateFileA, 28)
MODEL_IMPORT(CloseHandle, 4)
MODEL_IMPORT(GetCommState, 8)
MODEL_IMPORT(SetCommState, 8)
MODEL_IMPORT(GetCommTimeouts, 8)
MODEL_IMPORT(SetCommTimeouts, 8)
MODEL_IMPORT(PurgeComm, 8)
MODEL_IMPORT(ClearCommError, 12)
MODEL_IMPORT(ReadFile, 20)
MODEL_IMPORT(WriteFile, 20)
}

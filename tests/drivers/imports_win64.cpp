// The 64-bit build's import entries of the modelled functions. MinGW-w64 calls every kernel32
// function through the pointer __imp_<name>; defined here, they take the place of the import
// library's, and the product's calls reach the model.
#include "driver_model.h"

#define MODEL_IMPORT(name)                                                       \
    decltype(&drivermodel::Model##name) g_import##name __asm__("__imp_" #name) = \
        drivermodel::Model##name;

extern "C" {

MODEL_IMPORT(CreateFileA)
MODEL_IMPORT(CloseHandle)
MODEL_IMPORT(GetCommState)
MODEL_IMPORT(SetCommState)
MODEL_IMPORT(GetCommTimeouts)
MODEL_IMPORT(SetCommTimeouts)
MODEL_IMPORT(PurgeComm)
MODEL_IMPORT(ClearCommError)
MODEL_IMPORT(ReadFile)
MODEL_IMPORT(WriteFile)
}

#include <windows.h>

#include "settings/profile.h"

namespace morva {

int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    // The value comes back as UINT; a negative number in the file is a negative int again.
    return static_cast<int>(GetPrivateProfileIntA(section, key, defaultValue, path));
}

void WriteProfileText(const char* section, const char* key, const char* value, const char* path) {
    WritePrivateProfileStringA(section, key, value, path);
}

}  // namespace morva

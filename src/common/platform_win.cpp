#include <windows.h>

#include "common/platform.h"

namespace morva {

const char kPathSeparator = '\\';
const char kPathListSeparator = ';';
const char kExecutableExtension[] = "exe";

bool FileExists(const char* path) {
    return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int GetCurrentDir(char* buffer, int capacity) {
    if (capacity <= 0) {
        return 0;
    }
    const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(capacity), buffer);
    if (length == 0 || length >= static_cast<DWORD>(capacity)) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

std::FILE* OpenFileForReading(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    return std::fopen(path, "rb");
}

void BeginRun() {
    timeBeginPeriod(1);
}

void EndRun() {
    timeEndPeriod(1);
}

}  // namespace morva

#include <windows.h>

#include "settings/profile.h"

namespace morva {
namespace {

// The profile functions rewrite the file in place: two morva processes writing at once, or one
// reading while another writes, could lose other sections or read a half-written file. One
// named mutex serialises every settings access of morva on the machine.
class SettingsLock {
  public:
    SettingsLock() : mutex_(CreateMutexA(nullptr, FALSE, "Local\\morva-settings")) {
        if (mutex_ != nullptr) {
            const DWORD result = WaitForSingleObject(mutex_, kWaitMs);
            held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        }
    }
    ~SettingsLock() {
        if (held_) {
            ReleaseMutex(mutex_);
        }
        if (mutex_ != nullptr) {
            CloseHandle(mutex_);
        }
    }
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;

  private:
    // A writer holds it for milliseconds; past this, go on rather than hang a script.
    static constexpr DWORD kWaitMs = 10000;
    HANDLE mutex_;
    bool held_ = false;
};

}  // namespace

int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    const SettingsLock lock;
    // The value comes back as UINT; a negative number in the file is a negative int again.
    return static_cast<int>(GetPrivateProfileIntA(section, key, defaultValue, path));
}

void WriteProfileText(const char* section, const char* key, const char* value, const char* path) {
    const SettingsLock lock;
    WritePrivateProfileStringA(section, key, value, path);
}

}  // namespace morva

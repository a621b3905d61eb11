#include <windows.h>

#include <array>

#include "common/platform_win.h"
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

// The texts of one profile call as the wide calls take them: the path of the program's own
// paths (platform.h), the section, key and value in the ANSI code page, as typed.
struct WideTexts {
    WideTexts(const char* sectionText, const char* keyText, const char* valueText,
              const char* pathText)
        : ok(ToAnsiWide(sectionText, section.data()) && ToAnsiWide(keyText, key.data()) &&
             ToAnsiWide(valueText, value.data()) &&
             ToWidePath(pathText, path.data(), kWidePathSize) > 0) {}

    static bool ToAnsiWide(const char* text, wchar_t* wide) {
        return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kTextSize) > 0;
    }

    // A section, key or value text: a command text of 257 characters and the terminator.
    static constexpr int kTextSize = 258;
    std::array<wchar_t, kTextSize> section{};
    std::array<wchar_t, kTextSize> key{};
    std::array<wchar_t, kTextSize> value{};
    std::array<wchar_t, kWidePathSize> path{};
    bool ok;
};

}  // namespace

int ReadProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    const WideTexts texts(section, key, "", path);
    if (!texts.ok) {
        return defaultValue;
    }
    const SettingsLock lock;
    // The value comes back as UINT; a negative number in the file is a negative int again.
    return static_cast<int>(GetPrivateProfileIntW(texts.section.data(), texts.key.data(),
                                                  defaultValue, texts.path.data()));
}

void WriteProfileText(const char* section, const char* key, const char* value, const char* path) {
    const WideTexts texts(section, key, value, path);
    if (!texts.ok) {
        return;
    }
    const SettingsLock lock;
    // The wide call writes a new file in the ANSI code page, as the ANSI call did.
    WritePrivateProfileStringW(texts.section.data(), texts.key.data(), texts.value.data(),
                               texts.path.data());
}

}  // namespace morva

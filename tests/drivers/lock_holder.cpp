// A reader of the run record that keeps one byte of it locked, as a log shipper or an editor
// may, until told to let go:   morva-lock-holder.exe <file>
// It makes <file>.held once the lock is taken and lets go once <file>.release exists (or
// after a minute).
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED first{};
    if (file == INVALID_HANDLE_VALUE ||
        LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first) == 0) {
        return 1;
    }
    const std::string held = std::string(argv[1]) + ".held";
    const std::string release = std::string(argv[1]) + ".release";
    CloseHandle(CreateFileA(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    constexpr int kPolls = 6000;
    for (int i = 0; i < kPolls && GetFileAttributesA(release.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
        Sleep(10);
    }
    UnlockFileEx(file, 0, 1, 0, &first);
    CloseHandle(file);
    return 0;
}

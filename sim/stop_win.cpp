#include <windows.h>

#include "stop.h"

namespace tarvexsim {

namespace {

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD /*event*/) {
    SetEvent(g_stop);
    return TRUE;
}

}  // namespace

void CatchStop() {
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void WaitForStop() {
    WaitForSingleObject(g_stop, INFINITE);
}

}  // namespace tarvexsim

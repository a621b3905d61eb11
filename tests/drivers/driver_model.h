// A scripted model of what serial drivers do, for the Windows build under Wine: fakes of the ten
// kernel32 functions that the port code calls. imports_win64.cpp or imports_win32.cpp point the
// program's import entries (__imp_<name>) at them, so the product's own sources call them
// unchanged. Each fake calls the real function (found with GetProcAddress); on COM ports only,
// it first applies the script in the environment variable MORVA_DRIVER_MODEL:
//
//   <rule>[;<rule>...]   <rule> = <Call>[/<port>][@<k>][#<n>[+]]:<action>[,<action>...]
//
// <Call> is one of the ten names. /<port>: only on COM<port>. @<k>: only while the k-th COM
// port open is in use (for
// CreateFileA: the attempts towards it). #<n>: only the n-th such call (counted within that open
// when @ is given); #<n>+: from the n-th on; neither: every call. Actions, in the order applied:
//   delay=<ms>     wait this long first
//   gone=<error>   the device is removed: this and every later call on a COM port fails with
//                  the error (CloseHandle still closes), and every later open with error 2
//   late=<ms>      CloseHandle: the port refuses opens with ERROR_ACCESS_DENIED for this long
//   errors=<bits>  ClearCommError: report these line-error bits (CE_FRAME is 0x8) as well
//   extra=<n>      ClearCommError: report n bytes more waiting (cbInQue) than there are
//   cap=<n>        ReadFile: ask the port for at most n bytes (0: return none at once)
//   stall          WriteFile: take no byte until the write time-out that the caller set has
//                  passed (the bytes of short= excepted), then report that count
//   short=<n>      WriteFile: hand only the first n bytes to the port and report n
//   fail=<error>   fail with this system error (WriteFile with stall: once the stall is over)
// Numbers are decimal or 0x-hexadecimal. MORVA_DRIVER_TRACE names a file that gets the line
// "model: <script>" and then one line per call on a COM port, "<Call>@<k>#<n> <what happened>".
// A script that does not parse ends the program with exit code 125.
#pragma once

#include <windows.h>

namespace drivermodel {

HANDLE WINAPI ModelCreateFileA(LPCSTR name, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE templateFile);
BOOL WINAPI ModelCloseHandle(HANDLE handle);
BOOL WINAPI ModelGetCommState(HANDLE handle, LPDCB dcb);
BOOL WINAPI ModelSetCommState(HANDLE handle, LPDCB dcb);
BOOL WINAPI ModelGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI ModelSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI ModelPurgeComm(HANDLE handle, DWORD flags);
BOOL WINAPI ModelClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status);
BOOL WINAPI ModelReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                          LPOVERLAPPED overlapped);
BOOL WINAPI ModelWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped);

}  // namespace drivermodel

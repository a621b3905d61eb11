#include "driver_model.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace drivermodel {
namespace {

enum Call {
    kCreateFileA,
    kCloseHandle,
    kGetCommState,
    kSetCommState,
    kGetCommTimeouts,
    kSetCommTimeouts,
    kPurgeComm,
    kClearCommError,
    kReadFile,
    kWriteFile,
    kCallKinds
};

constexpr std::array<const char*, kCallKinds> kCallNames = {
    "CreateFileA",     "CloseHandle", "GetCommState",   "SetCommState", "GetCommTimeouts",
    "SetCommTimeouts", "PurgeComm",   "ClearCommError", "ReadFile",     "WriteFile"};

// What the rules that match one call ask for.
struct Action {
    DWORD delay = 0;
    DWORD fail = 0;
    DWORD gone = 0;
    DWORD late = 0;
    DWORD errors = 0;
    DWORD extra = 0;
    long cap = -1;
    long shortCount = -1;
    bool stall = false;
};

struct Rule {
    int call = -1;
    int port = 0;  // 0: any
    int open = 0;  // 0: any
    int first = 1;
    int last = INT_MAX;
    Action action;
};

// One COM port that the program holds open.
struct Port {
    HANDLE handle = nullptr;
    int number = 0;  // n of COM<n>
    int open = 0;
    DWORD writeMultiplier = 0;
    DWORD writeConstant = 0;
};

struct Model {
    bool loaded = false;
    std::array<char, 1024> script{};
    std::array<Rule, 32> rules{};
    int ruleCount = 0;
    std::array<Port, 4> ports{};
    int opens = 0;  // successful opens of COM ports so far
    std::array<int, kCallKinds> calls{};
    std::array<int, kCallKinds> callsInOpen{};
    DWORD removed = 0;  // the removal error, once the device is gone
    DWORD refuseUntil = 0;
    bool refusing = false;
    std::array<char, MAX_PATH> trace{};
};

Model g_model;

template <typename Function>
Function Real(const char* name) {
    static HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    // Through void(*)(), the one function type that converts to any other without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) {
    if (g_model.trace[0] == '\0') {
        return;
    }
    // The caller may still need the error of the call that it traces.
    const DWORD error = GetLastError();
    std::FILE* file = std::fopen(g_model.trace.data(), "ab");
    if (file != nullptr) {
        va_list args;
        va_start(args, format);
        std::vfprintf(file, format, args);
        va_end(args);
        std::fputc('\n', file);
        std::fclose(file);
    }
    SetLastError(error);
}

[[noreturn]] void BadScript(const char* at) {
    Trace("model: bad script at \"%s\"", at);
    std::fprintf(stderr, "driver model: bad script at \"%s\"\n", at);
    std::exit(125);
}

bool ReadNumber(const char* text, const char* name, DWORD* value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(text, name, length) != 0 || text[length] != '=') {
        return false;
    }
    char* end = nullptr;
    *value = static_cast<DWORD>(std::strtoul(text + length + 1, &end, 0));
    if (end == text + length + 1 || *end != '\0') {
        BadScript(text);
    }
    return true;
}

void ParseAction(const char* text, Action* action) {
    DWORD value = 0;
    if (std::strcmp(text, "stall") == 0) {
        action->stall = true;
    } else if (ReadNumber(text, "cap", &value)) {
        action->cap = static_cast<long>(value);
    } else if (ReadNumber(text, "short", &value)) {
        action->shortCount = static_cast<long>(value);
    } else if (!ReadNumber(text, "delay", &action->delay) &&
               !ReadNumber(text, "fail", &action->fail) &&
               !ReadNumber(text, "gone", &action->gone) &&
               !ReadNumber(text, "late", &action->late) &&
               !ReadNumber(text, "errors", &action->errors) &&
               !ReadNumber(text, "extra", &action->extra)) {
        BadScript(text);
    }
}

int ReadCount(const char* text, char** end) {
    const long value = std::strtol(text, end, 10);
    if (*end == text || value < 1) {
        BadScript(text);
    }
    return static_cast<int>(value);
}

// "<Call>[/<port>][@<k>][#<n>[+]]:<action>[,<action>...]", changed in place by the parse.
void ParseRule(char* text, Rule* rule) {
    char* actions = std::strchr(text, ':');
    if (actions == nullptr) {
        BadScript(text);
    }
    *actions++ = '\0';
    char* at = std::strpbrk(text, "/@#");
    const std::size_t nameLength =
        at != nullptr ? static_cast<std::size_t>(at - text) : std::strlen(text);
    for (int call = 0; call < kCallKinds; ++call) {
        if (std::strlen(kCallNames[call]) == nameLength &&
            std::strncmp(text, kCallNames[call], nameLength) == 0) {
            rule->call = call;
        }
    }
    if (rule->call < 0) {
        BadScript(text);
    }
    char* end = at;
    if (end != nullptr && *end == '/') {
        rule->port = ReadCount(end + 1, &end);
    }
    if (end != nullptr && *end == '@') {
        rule->open = ReadCount(end + 1, &end);
    }
    if (end != nullptr && *end == '#') {
        rule->first = ReadCount(end + 1, &end);
        rule->last = rule->first;
        if (*end == '+') {
            rule->last = INT_MAX;
            ++end;
        }
    }
    if (end != nullptr && *end != '\0') {
        BadScript(end);
    }
    for (char* action = std::strtok(actions, ","); action != nullptr;
         action = std::strtok(nullptr, ",")) {
        ParseAction(action, &rule->action);
    }
}

void Load() {
    if (g_model.loaded) {
        return;
    }
    g_model.loaded = true;
    const DWORD traceLength =
        GetEnvironmentVariableA("MORVA_DRIVER_TRACE", g_model.trace.data(), MAX_PATH);
    if (traceLength >= MAX_PATH) {
        g_model.trace[0] = '\0';
    }
    const DWORD length = GetEnvironmentVariableA("MORVA_DRIVER_MODEL", g_model.script.data(),
                                                 static_cast<DWORD>(g_model.script.size()));
    if (length >= g_model.script.size()) {
        BadScript("(too long)");
    }
    Trace("model: %s", g_model.script.data());
    std::array<char, 1024> work = g_model.script;
    std::array<char*, 32> texts{};
    int count = 0;
    for (char* text = std::strtok(work.data(), ";"); text != nullptr;
         text = std::strtok(nullptr, ";")) {
        if (count == static_cast<int>(texts.size())) {
            BadScript(text);
        }
        texts[count++] = text;
    }
    // Parsed apart from the split, since both use strtok.
    for (int i = 0; i < count; ++i) {
        ParseRule(texts[i], &g_model.rules[i]);
    }
    g_model.ruleCount = count;
}

// n of a name \\.\COM<n>; 0 for any other name.
int ComNumber(LPCSTR name) {
    if (name == nullptr || _strnicmp(name, "\\\\.\\COM", 7) != 0) {
        return 0;
    }
    const long number = std::strtol(name + 7, nullptr, 10);
    return number > 0 && number < INT_MAX ? static_cast<int>(number) : 0;
}

// The open COM port of `handle`; nullptr: a free place for one.
Port* FindPort(HANDLE handle) {
    for (Port& port : g_model.ports) {
        if (port.handle == handle) {
            return &port;
        }
    }
    return nullptr;
}

// The COM port open as `handle`; nullptr for any other handle.
Port* OpenPort(HANDLE handle) {
    return handle != nullptr ? FindPort(handle) : nullptr;
}

// One call on a COM port: its place in the count and what the script asks of it.
struct Step {
    int call;
    int port;
    int open;
    int number;
    Action action;
};

Step Begin(int call, int port, int open) {
    Load();
    ++g_model.calls[call];
    const int inOpen = ++g_model.callsInOpen[call];
    Step step{call, port, open, inOpen, {}};
    for (int i = 0; i < g_model.ruleCount; ++i) {
        const Rule& rule = g_model.rules[i];
        const int number = rule.open != 0 ? inOpen : g_model.calls[call];
        if (rule.call != call || (rule.port != 0 && rule.port != port) ||
            (rule.open != 0 && rule.open != open) || number < rule.first || number > rule.last) {
            continue;
        }
        const Action& a = rule.action;
        Action& merged = step.action;
        merged.delay = std::max(merged.delay, a.delay);
        merged.fail = a.fail != 0 ? a.fail : merged.fail;
        merged.gone = a.gone != 0 ? a.gone : merged.gone;
        merged.late = std::max(merged.late, a.late);
        merged.errors |= a.errors;
        merged.extra += a.extra;
        merged.cap = a.cap >= 0 ? a.cap : merged.cap;
        merged.shortCount = a.shortCount >= 0 ? a.shortCount : merged.shortCount;
        merged.stall = merged.stall || a.stall;
    }
    if (step.action.delay != 0) {
        Sleep(step.action.delay);
    }
    if (step.action.gone != 0 && g_model.removed == 0) {
        g_model.removed = step.action.gone;
        step.action.fail = step.action.gone;
    } else if (g_model.removed != 0 && call != kCloseHandle) {
        step.action.fail = call == kCreateFileA ? ERROR_FILE_NOT_FOUND : g_model.removed;
    }
    return step;
}

// A read or write: its step, with the count of bytes done set to 0 first.
Step BeginTransfer(int call, const Port& port, LPDWORD done) {
    if (done != nullptr) {
        *done = 0;
    }
    return Begin(call, port.number, port.open);
}

// The failure that the step asks for, traced; false when there is none.
bool Failed(const Step& step) {
    if (step.action.fail == 0) {
        return false;
    }
    Trace("%s@%d#%d error %lu", kCallNames[step.call], step.open, step.number,
          static_cast<unsigned long>(step.action.fail));
    SetLastError(step.action.fail);
    return true;
}

void TraceResult(const Step& step, BOOL done, const char* what = "") {
    if (done == FALSE) {
        Trace("%s@%d#%d real error %lu", kCallNames[step.call], step.open, step.number,
              GetLastError());
    } else {
        Trace("%s@%d#%d ok%s", kCallNames[step.call], step.open, step.number, what);
    }
}

// A read or write with the bytes it moved of those asked for.
void TraceCount(const Step& step, BOOL done, DWORD moved, DWORD count) {
    std::array<char, 64> what{};
    std::snprintf(what.data(), what.size(), " %lu of %lu", moved, count);
    TraceResult(step, done, what.data());
}

// The calls on an open port that need no more of the model than failures and a trace.
template <int kCall, typename Function, typename... Args>
BOOL OnPort(HANDLE handle, Args... args) {
    static const auto real = Real<Function>(kCallNames[kCall]);
    const Port* port = OpenPort(handle);
    if (port == nullptr) {
        return real(handle, args...);
    }
    const Step step = Begin(kCall, port->number, port->open);
    if (Failed(step)) {
        return FALSE;
    }
    const BOOL done = real(handle, args...);
    TraceResult(step, done);
    return done;
}

}  // namespace

HANDLE WINAPI ModelCreateFileA(LPCSTR name, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE templateFile) {
    static const auto real = Real<decltype(&ModelCreateFileA)>("CreateFileA");
    const int number = ComNumber(name);
    if (number == 0) {
        return real(name, access, share, security, disposition, flags, templateFile);
    }
    const Step step = Begin(kCreateFileA, number, g_model.opens + 1);
    if (Failed(step)) {
        return INVALID_HANDLE_VALUE;
    }
    if (g_model.refusing && static_cast<LONG>(GetTickCount() - g_model.refuseUntil) < 0) {
        Trace("CreateFileA@%d#%d refused, still closing", step.open, step.number);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    g_model.refusing = false;
    HANDLE handle = real(name, access, share, security, disposition, flags, templateFile);
    if (handle == INVALID_HANDLE_VALUE) {
        TraceResult(step, FALSE);
        return handle;
    }
    Port* port = FindPort(nullptr);
    if (port != nullptr) {
        *port = Port{handle, number, ++g_model.opens, 0, 0};
        g_model.callsInOpen = {};
    }
    Trace("CreateFileA@%d#%d ok %s", step.open, step.number, name);
    return handle;
}

BOOL WINAPI ModelCloseHandle(HANDLE handle) {
    static const auto real = Real<decltype(&ModelCloseHandle)>("CloseHandle");
    Port* port = OpenPort(handle);
    if (port == nullptr) {
        return real(handle);
    }
    const Step step = Begin(kCloseHandle, port->number, port->open);
    *port = Port{};
    const BOOL done = real(handle);
    if (step.action.late != 0) {
        g_model.refusing = true;
        g_model.refuseUntil = GetTickCount() + step.action.late;
    }
    TraceResult(step, done, step.action.late != 0 ? ", closing goes on" : "");
    return done;
}

BOOL WINAPI ModelGetCommState(HANDLE handle, LPDCB dcb) {
    return OnPort<kGetCommState, decltype(&ModelGetCommState)>(handle, dcb);
}

BOOL WINAPI ModelSetCommState(HANDLE handle, LPDCB dcb) {
    return OnPort<kSetCommState, decltype(&ModelSetCommState)>(handle, dcb);
}

BOOL WINAPI ModelGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    return OnPort<kGetCommTimeouts, decltype(&ModelGetCommTimeouts)>(handle, timeouts);
}

BOOL WINAPI ModelSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    static const auto real = Real<decltype(&ModelSetCommTimeouts)>("SetCommTimeouts");
    Port* port = OpenPort(handle);
    if (port == nullptr) {
        return real(handle, timeouts);
    }
    const Step step = Begin(kSetCommTimeouts, port->number, port->open);
    if (Failed(step)) {
        return FALSE;
    }
    const BOOL done = real(handle, timeouts);
    if (done != FALSE) {
        port->writeMultiplier = timeouts->WriteTotalTimeoutMultiplier;
        port->writeConstant = timeouts->WriteTotalTimeoutConstant;
    }
    std::array<char, 96> what{};
    std::snprintf(what.data(), what.size(), " read %lu/%lu/%lu write %lu/%lu",
                  timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                  timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                  timeouts->WriteTotalTimeoutConstant);
    TraceResult(step, done, what.data());
    return done;
}

BOOL WINAPI ModelPurgeComm(HANDLE handle, DWORD flags) {
    return OnPort<kPurgeComm, decltype(&ModelPurgeComm)>(handle, flags);
}

BOOL WINAPI ModelClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    static const auto real = Real<decltype(&ModelClearCommError)>("ClearCommError");
    const Port* port = OpenPort(handle);
    if (port == nullptr) {
        return real(handle, errors, status);
    }
    const Step step = Begin(kClearCommError, port->number, port->open);
    if (Failed(step)) {
        return FALSE;
    }
    const BOOL done = real(handle, errors, status);
    if (done == FALSE) {
        TraceResult(step, done);
        return done;
    }
    if (errors != nullptr) {
        *errors |= step.action.errors;
    }
    if (status != nullptr) {
        status->cbInQue += step.action.extra;
    }
    std::array<char, 64> what{};
    std::snprintf(what.data(), what.size(), " errors 0x%lX waiting %lu",
                  errors != nullptr ? *errors : 0UL, status != nullptr ? status->cbInQue : 0UL);
    TraceResult(step, done, what.data());
    return done;
}

BOOL WINAPI ModelReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                          LPOVERLAPPED overlapped) {
    static const auto real = Real<decltype(&ModelReadFile)>("ReadFile");
    const Port* port = OpenPort(handle);
    if (port == nullptr) {
        return real(handle, buffer, count, read, overlapped);
    }
    const Step step = BeginTransfer(kReadFile, *port, read);
    if (Failed(step)) {
        return FALSE;
    }
    const DWORD asked =
        step.action.cap >= 0 ? std::min(count, static_cast<DWORD>(step.action.cap)) : count;
    const BOOL done = asked == 0 ? TRUE : real(handle, buffer, asked, read, overlapped);
    TraceCount(step, done, read != nullptr ? *read : 0, count);
    return done;
}

BOOL WINAPI ModelWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped) {
    static const auto real = Real<decltype(&ModelWriteFile)>("WriteFile");
    const Port* port = OpenPort(handle);
    if (port == nullptr) {
        return real(handle, buffer, count, written, overlapped);
    }
    const Step step = BeginTransfer(kWriteFile, *port, written);
    if (!step.action.stall && Failed(step)) {
        return FALSE;
    }
    if (!step.action.stall && step.action.shortCount < 0) {
        const BOOL done = real(handle, buffer, count, written, overlapped);
        TraceResult(step, done);
        return done;
    }
    const DWORD taken = std::min(count, static_cast<DWORD>(std::max(step.action.shortCount, 0L)));
    DWORD handed = 0;
    if (taken > 0 && real(handle, buffer, taken, &handed, overlapped) == FALSE) {
        TraceResult(step, FALSE);
        return FALSE;
    }
    if (step.action.stall) {
        // Without a write time-out the write would never end; the model ends it after a minute.
        const DWORD timeout = port->writeMultiplier * count + port->writeConstant;
        Trace("WriteFile@%d#%d stalls for %lu ms", step.open, step.number,
              timeout != 0 ? timeout : 60000UL);
        Sleep(timeout != 0 ? timeout : 60000);
    }
    if (written != nullptr) {
        *written = handed;
    }
    if (Failed(step)) {
        return FALSE;
    }
    TraceCount(step, TRUE, handed, count);
    return TRUE;
}

}  // namespace drivermodel

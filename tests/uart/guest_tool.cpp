// Runs inside the rig's guest beside morva (statically linked). It watches a real UART from a
// second descriptor, or stops morva at a chosen moment to do something there:
//   guest_tool hold <tty> <shell command>
//       marks <tty> exclusive (TIOCEXCL), runs the command and tells whether the mark is
//       still set;
//   guest_tool lines <tty>
//       prints DTR and RTS of <tty> as the driver keeps them;
//   guest_tool user <uid> <program> [<argument>...]
//       runs the program as that user and group, without other groups;
//   guest_tool pause <point> <tty> <action> [<shell command>] -- <program> [<argument>...]
//       runs the program and stops it at <point>: "counters" (the first TIOCGICOUNT has
//       returned: the open took its baseline), "receive" (the first sleep: the command is sent
//       and the reply awaited), "read" (the first read of a descriptor after a FIONREAD on it:
//       bytes were seen waiting) or "output" (the first write to standard output). There it
//       does <action>: "break" (waits until the UART has counted a BREAK), "lines" (prints DTR
//       and RTS as the driver keeps them), "modem" (prints DTR and RTS from TIOCMGET on the
//       program's own descriptor of <tty>: on a USB tty any further open would raise them),
//       "run" (runs the shell command) or "kill" (SIGKILL); then lets the program go on.
// Observations go to standard error, one line each; the exit code is the program's (128 + the
// signal when a signal ended it) or the command's.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr int kBreakWaitMs = 5000;

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255;
}

int RunShell(const char* command) {
    const int code = ExitCodeOf(std::system(command));
    std::fprintf(stderr, "run exit %d\n", code);
    return code;
}

void SleepMs(int ms) {
    timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
}

// A second descriptor on a tty that the program holds open: O_NONBLOCK, so the open neither
// waits for carrier nor raises DTR and RTS again.
int OpenWatch(const char* tty) {
    const int fd = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "cannot open %s: %s\n", tty, std::strerror(errno));
    }
    return fd;
}

bool BreakCount(int fd, int* count) {
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        std::fprintf(stderr, "TIOCGICOUNT: %s\n", std::strerror(errno));
        return false;
    }
    *count = icount.brk;
    return true;
}

void WaitForBreak(const char* tty) {
    const int fd = OpenWatch(tty);
    int before = 0;
    if (fd < 0 || !BreakCount(fd, &before)) {
        return;
    }
    int now = before;
    for (int waited = 0; waited < kBreakWaitMs && now == before; waited += 10) {
        SleepMs(10);
        if (!BreakCount(fd, &now)) {
            break;
        }
    }
    std::fprintf(stderr, now > before ? "break counted\n" : "no break\n");
    close(fd);
}

// Read from the driver's table: a further open of the tty would raise DTR and RTS itself.
void PrintLines(const char* tty) {
    const char* digits = tty + std::strcspn(tty, "0123456789");
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%s:", digits);
    std::FILE* table = std::fopen("/proc/tty/driver/serial", "r");
    if (table == nullptr) {
        std::fprintf(stderr, "cannot read /proc/tty/driver/serial\n");
        return;
    }
    char line[512];
    while (std::fgets(line, sizeof line, table) != nullptr) {
        if (std::strncmp(line, prefix, std::strlen(prefix)) != 0) {
            continue;
        }
        // The signals are the last word, as in "RTS|DTR"; none at all leaves a counter there.
        line[std::strcspn(line, "\n")] = '\0';
        const char* last = std::strrchr(line, ' ');
        std::string_view word = last == nullptr ? "" : last + 1;
        bool dtr = false;
        bool rts = false;
        while (!word.empty()) {
            const std::size_t bar = word.find('|');
            const std::string_view name = word.substr(0, bar);
            dtr = dtr || name == "DTR";
            rts = rts || name == "RTS";
            word = bar == std::string_view::npos ? "" : word.substr(bar + 1);
        }
        std::fprintf(stderr, "dtr=%d rts=%d\n", dtr ? 1 : 0, rts ? 1 : 0);
    }
    std::fclose(table);
}

// The program's own descriptor of <tty>, taken over through a pidfd; -1 when it has none.
int PeerDescriptor(pid_t child, const char* tty) {
    char wanted[PATH_MAX];
    char dir_path[64];
    std::snprintf(dir_path, sizeof dir_path, "/proc/%d/fd", static_cast<int>(child));
    DIR* dir = realpath(tty, wanted) == nullptr ? nullptr : opendir(dir_path);
    if (dir == nullptr) {
        return -1;
    }
    int target = -1;
    while (const dirent* entry = readdir(dir)) {
        char name[PATH_MAX];
        const ssize_t length = readlinkat(dirfd(dir), entry->d_name, name, sizeof name - 1);
        if (length > 0) {
            name[length] = '\0';
            if (std::strcmp(name, wanted) == 0) {
                target = std::atoi(entry->d_name);
            }
        }
    }
    closedir(dir);
    const auto pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    const int fd =
        target < 0 || pidfd < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, target, 0));
    if (pidfd >= 0) {
        close(pidfd);
    }
    return fd;
}

void PrintModemLines(pid_t child, const char* tty) {
    const int fd = PeerDescriptor(child, tty);
    int bits = 0;
    if (fd < 0 || ioctl(fd, TIOCMGET, &bits) != 0) {
        std::fprintf(stderr, "cannot read the lines of %s: %s\n", tty, std::strerror(errno));
    } else {
        std::fprintf(stderr, "dtr=%d rts=%d\n", (bits & TIOCM_DTR) != 0 ? 1 : 0,
                     (bits & TIOCM_RTS) != 0 ? 1 : 0);
    }
    if (fd >= 0) {
        close(fd);
    }
}

int Hold(const char* tty, const char* command) {
    const int fd = OpenWatch(tty);
    if (fd < 0) {
        return 255;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        std::fprintf(stderr, "TIOCEXCL: %s\n", std::strerror(errno));
        close(fd);
        return 255;
    }
    const int code = RunShell(command);
    int marked = 0;
    if (ioctl(fd, TIOCGEXCL, &marked) == 0) {
        std::fprintf(stderr, marked != 0 ? "still marked\n" : "mark cleared\n");
    }
    ioctl(fd, TIOCNXCL);
    close(fd);
    return code;
}

enum class Point { kCounters, kReceive, kRead, kOutput };

// queried: the descriptor of the latest FIONREAD.
bool AtPoint(Point point, const __ptrace_syscall_info& info, const __ptrace_syscall_info& entry,
             long long queried) {
    switch (point) {
        case Point::kCounters:
            return info.op == PTRACE_SYSCALL_INFO_EXIT && entry.entry.nr == SYS_ioctl &&
                   entry.entry.args[1] == TIOCGICOUNT;
        case Point::kReceive:
            return info.op == PTRACE_SYSCALL_INFO_ENTRY &&
                   (info.entry.nr == SYS_nanosleep || info.entry.nr == SYS_clock_nanosleep);
        case Point::kRead:
            return info.op == PTRACE_SYSCALL_INFO_ENTRY && info.entry.nr == SYS_read &&
                   static_cast<long long>(info.entry.args[0]) == queried;
        case Point::kOutput:
            return info.op == PTRACE_SYSCALL_INFO_ENTRY && info.entry.nr == SYS_write &&
                   info.entry.args[0] == 1;
    }
    return false;
}

int Act(std::string_view action, const char* tty, const char* command, pid_t child) {
    if (action == "break") {
        WaitForBreak(tty);
    } else if (action == "lines") {
        PrintLines(tty);
    } else if (action == "modem") {
        PrintModemLines(child, tty);
    } else if (action == "run") {
        RunShell(command);
    } else if (action == "kill") {
        kill(child, SIGKILL);
    } else {
        return 0;
    }
    return 1;
}

int Pause(Point point, const char* tty, std::string_view action, const char* command,
          char** program) {
    const pid_t child = fork();
    if (child < 0) {
        return 255;
    }
    if (child == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execvp(program[0], program);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ptrace(PTRACE_SETOPTIONS, child, nullptr,
           PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    __ptrace_syscall_info entry{};
    long long queried = -1;
    bool stopped = false;
    int signal = 0;
    while (true) {
        ptrace(PTRACE_SYSCALL, child, nullptr, signal);
        signal = 0;
        if (waitpid(child, &status, 0) < 0 || !WIFSTOPPED(status)) {
            break;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            // Exec event or a signal for the program: pass on only the latter.
            signal = (status >> 16) != 0 || WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
            continue;
        }
        __ptrace_syscall_info info{};
        ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info);
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
            entry = info;
            if (info.entry.nr == SYS_ioctl && info.entry.args[1] == FIONREAD) {
                queried = static_cast<long long>(info.entry.args[0]);
            }
        }
        if (AtPoint(point, info, entry, queried)) {
            stopped = true;
            if (Act(action, tty, command, child) == 0) {
                std::fprintf(stderr, "unknown action\n");
            }
            ptrace(PTRACE_DETACH, child, nullptr, nullptr);
            waitpid(child, &status, 0);
            break;
        }
    }
    if (!stopped) {
        std::fprintf(stderr, "never stopped\n");
    }
    return ExitCodeOf(status);
}

int RunAs(const char* uid, char** program) {
    const auto id = static_cast<uid_t>(std::strtoul(uid, nullptr, 10));
    if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
        std::fprintf(stderr, "cannot become user %s: %s\n", uid, std::strerror(errno));
        return 255;
    }
    execvp(program[0], program);
    return 127;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: guest_tool hold <tty> <command>\n"
                 "       guest_tool lines <tty>\n"
                 "       guest_tool user <uid> <program> [<argument>...]\n"
                 "       guest_tool pause counters|receive|read|output <tty> "
                 "break|lines|modem|run|kill "
                 "[<command>] -- <program> [<argument>...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string_view(argv[1]) == "hold") {
        return Hold(argv[2], argv[3]);
    }
    if (argc == 3 && std::string_view(argv[1]) == "lines") {
        PrintLines(argv[2]);
        return 0;
    }
    if (argc >= 4 && std::string_view(argv[1]) == "user") {
        return RunAs(argv[2], argv + 3);
    }
    if (argc < 7 || std::string_view(argv[1]) != "pause") {
        return Usage();
    }
    const std::string_view name = argv[2];
    Point point = Point::kCounters;
    if (name == "receive") {
        point = Point::kReceive;
    } else if (name == "output") {
        point = Point::kOutput;
    } else if (name == "read") {
        point = Point::kRead;
    } else if (name != "counters") {
        return Usage();
    }
    const std::string_view action = argv[4];
    int next = 5;
    const char* command = "";
    if (action == "run") {
        command = argv[next++];
    }
    if (next + 1 >= argc || std::string_view(argv[next]) != "--") {
        return Usage();
    }
    return Pause(point, argv[3], action, command, argv + next + 1);
}

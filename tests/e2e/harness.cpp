#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "escape.h"

extern char** environ;

namespace e2e {
namespace fs = std::filesystem;

namespace {

// The prefix of ctest's "wine" fixture; the 32-bit rows get it only from the build, since
// GoogleTest's discovery gives a test one environment variable at most.
std::string WinePrefix() {
    const char* prefix = std::getenv("MORVA_TEST_WINEPREFIX");
    return prefix != nullptr ? prefix : MORVA_TEST_WINEPREFIX_DEFAULT;
}

// A program that the build made, at its build path, or below $MORVA_TEST_PROGRAM_ROOT at that
// same path when it is set: copies for a user who may not reach the build tree.
std::string BuiltProgram(const std::string& path) {
    const char* root = std::getenv("MORVA_TEST_PROGRAM_ROOT");
    return root != nullptr && *root != '\0' ? root + path : path;
}

std::string TurnBackLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

struct Child {
    std::vector<std::string> argv;
    std::string exec;  // file to execute; argv[0] may differ (as a shell sets it)
    std::string workingDir;
    std::map<std::string, std::string> environment;
    uid_t uid = 0;  // switched to when switchUser is set
    gid_t gid = 0;
    bool switchUser = false;
    std::string output;  // Start: the file that takes the output
};

// Fills the pipe until it takes no more byte; returns the number of bytes written.
std::size_t FillPipe(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const std::string chunk(4096, '#');
    std::size_t filled = 0;
    for (std::size_t size = chunk.size(); size > 0; size /= 2) {
        ssize_t n = 0;
        while ((n = write(fd, chunk.data(), size)) > 0) {
            filled += static_cast<std::size_t>(n);
        }
    }
    fcntl(fd, F_SETFL, flags);
    return filled;
}

// The environment of a program under test: the caller's, with the child's own variables, and
// whatever the caller's locale, a UTF-8 one (Wine maps names outside ASCII to Unix file names
// through it, and fails to find them in the C locale). The prefix, the search path and the
// debug channels come only from the child, so that the caller's change nothing; Wine's other
// variables (WINEDLLPATH, WINELOADER, WINEARCH, ...) reach the program as the caller set them.
std::vector<std::string> Environment(const Child& child) {
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        const bool dropped = name == "LANG" || name == "LANGUAGE" || name.rfind("LC_", 0) == 0 ||
                             name == "WINEPREFIX" || name == "WINEPATH" || name == "WINEDEBUG";
        if (!dropped && child.environment.count(name) == 0) {
            entries.push_back(entry);
        }
    }
    if (child.environment.count("LC_ALL") == 0) {
        entries.push_back("LC_ALL=C.UTF-8");
    }
    for (const auto& [name, value] : child.environment) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

Result Spawn(const Child& child, const RunOptions& options) {
    std::vector<std::string> envStore = Environment(child);
    std::vector<char*> envp = Pointers(envStore);
    std::vector<std::string> argStore = child.argv;
    std::vector<char*> argv = Pointers(argStore);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    std::size_t filler = 0;
    if (options.output == Output::kClosed) {
        close(out[0]);
        out[0] = -1;
    } else if (options.output == Output::kFull) {
        filler = FillPipe(out[1]);
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (options.sessionLeader) {
            setsid();
        } else {
            setpgid(0, 0);
        }
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(devnull, 2);
        if (options.closedInputAndOutput) {
            close(0);
            close(1);
        }
        if (options.inChild && !options.inChild()) {
            _exit(124);
        }
        if (child.switchUser &&
            (setgroups(0, nullptr) != 0 || setgid(child.gid) != 0 || setuid(child.uid) != 0)) {
            _exit(125);
        }
        if (!child.workingDir.empty() && chdir(child.workingDir.c_str()) != 0) {
            _exit(126);
        }
        execve(child.exec.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    if (options.started) {
        options.started(pid);
    }
    Result result;
    const auto deadline = start + options.timeout;
    bool killed = false;
    char buffer[4096];
    while (out[0] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    if (out[0] >= 0) {
        close(out[0]);
    }
    result.output.erase(0, filler);
    int status = 0;
    // Without a reader there is no end of output to wait for: wait for the end of the program.
    while (options.output == Output::kClosed && waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            killed = true;
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    if (options.output != Output::kClosed) {
        waitpid(pid, &status, 0);
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.exitCode = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = !killed && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

// Starts `child` in its own process group, its output to `child.output` (else /dev/null);
// its process id, or -1.
int Start(const Child& child) {
    std::vector<std::string> argStore = child.argv;
    std::vector<char*> argv = Pointers(argStore);
    std::vector<std::string> envStore = Environment(child);
    std::vector<char*> envp = Pointers(envStore);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int devnull = open("/dev/null", O_RDWR);
        const int out = child.output.empty()
                            ? devnull
                            : open(child.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(devnull, 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(child.exec.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << child.exec << ": " << std::strerror(errno);
    }
    return pid;
}

}  // namespace

std::string BuildName(Build build) {
    switch (build) {
        case Build::kPosix:
            return "Posix";
        case Build::kWindows:
            return "Windows";
        case Build::kPosixTtyPair:
            break;
    }
    return "PosixTtyPair";
}

Workspace::Workspace(Build build, const std::string& exeFolder, const std::string& program)
    : build_(build) {
    std::string pattern = (fs::temp_directory_path() / "morva-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    root_ = pattern;
    exeDir_ = root_ + "/" + exeFolder;
    fs::create_directories(exeDir_);
    // MORVA_WINDOWS_EXE in the environment: another Windows build (the 32-bit one) in its rows.
    const char* windowsExe = std::getenv("MORVA_WINDOWS_EXE");
    const std::string built = !program.empty()                       ? program
                              : build != Build::kWindows             ? MORVA_POSIX_EXE
                              : windowsExe != nullptr && *windowsExe ? windowsExe
                                                                     : MORVA_WINDOWS_EXE;
    const std::string source = BuiltProgram(built);
    if (!fs::exists(source)) {
        ADD_FAILURE() << "missing " << source << ": build the posix and windows presets first";
    } else {
        fs::copy_file(source, exePath(), fs::copy_options::overwrite_existing);
    }
    if (build != Build::kWindows) {
        portsDir_ = root_ + "/ports";
        fs::create_directories(portsDir_);
    } else {
        if (!fs::is_directory(WinePrefix() + "/dosdevices")) {
            ADD_FAILURE() << "no Wine prefix at " << WinePrefix()
                          << ": run the tests through ctest";
        }
        portsDir_ = WinePrefix() + "/dosdevices";
        // Only this test's own com<n> links may be there.
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(portsDir_, ignored)) {
            if (entry.path().filename().string().rfind("com", 0) == 0) {
                fs::remove(entry.path(), ignored);
            }
        }
    }
}

Workspace::~Workspace() {
    for (auto& device : devices_) {
        device->Stop();
    }
    devices_.clear();
    for (const int pid : processes_) {
        kill(-pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    for (const int fd : heldEnds_) {
        close(fd);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string Workspace::exePath() const {
    return exeDir_ + (build_ != Build::kWindows ? "/morva" : "/morva.exe");
}

tarvexsim::Device& Workspace::AddDevice(int port, const tarvexsim::Options& options,
                                        std::function<void(const std::string&)> logger) {
    devices_.push_back(std::make_unique<tarvexsim::Device>(portsDir_, port, options));
    if (logger) {
        devices_.back()->SetLogger(std::move(logger));
    }
    std::string error;
    std::string deviceEnd;
    std::string programEnd;
    const std::string link = portsDir_ + "/com" + std::to_string(port);
    if (build_ != Build::kPosixTtyPair) {
        if (!devices_.back()->Start(&error)) {
            ADD_FAILURE() << "simulated device on COM" << port << ": " << error;
        }
    } else if (!MakeTtyPair(&deviceEnd, &programEnd) ||
               symlink(programEnd.c_str(), link.c_str()) != 0 ||
               !devices_.back()->StartOnSerial(deviceEnd, &error)) {
        ADD_FAILURE() << "simulated device on a tty pair for COM" << port << ": " << error;
    }
    return *devices_.back();
}

bool Workspace::MakeTtyPair(std::string* deviceEnd, std::string* programEnd) {
    const std::string base = root_ + "/pair" + std::to_string(processes_.size());
    Child socat;
    socat.exec = "/usr/bin/socat";
    socat.argv = {"socat", "pty,raw,echo=0,link=" + base + "-a",
                  "pty,raw,echo=0,link=" + base + "-b"};
    const int pid = Start(socat);
    if (pid < 0) {
        return false;
    }
    processes_.push_back(pid);
    for (int i = 0; i < 500 && !(fs::exists(base + "-a") && fs::exists(base + "-b")); ++i) {
        usleep(10000);
    }
    std::error_code error;
    *deviceEnd = fs::canonical(base + "-a", error).string();
    *programEnd = fs::canonical(base + "-b", error).string();
    if (error) {
        ADD_FAILURE() << "socat made no tty pair";
        return false;
    }
    // Held here, so that the pair outlives every open and close by a device or a program.
    for (const std::string& end : {*deviceEnd, *programEnd}) {
        heldEnds_.push_back(open(end.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    }
    return true;
}

void Workspace::AddSimulatorProgram(int port, const std::string& builtSimulator) {
    const std::string simulator = BuiltProgram(builtSimulator);
    if (!fs::exists(simulator)) {
        ADD_FAILURE() << "missing " << simulator << ": build the windows preset first";
        return;
    }
    std::string deviceEnd;
    std::string programEnd;
    const std::string simPort = "com" + std::to_string(port + 1);
    if (!MakeTtyPair(&deviceEnd, &programEnd) ||
        symlink(programEnd.c_str(), (portsDir_ + "/com" + std::to_string(port)).c_str()) != 0 ||
        symlink(deviceEnd.c_str(), (portsDir_ + "/" + simPort).c_str()) != 0) {
        ADD_FAILURE() << "no tty pair for COM" << port;
        return;
    }
    Child sim;
    sim.exec = "/usr/bin/wine";
    sim.argv = {"wine", simulator, "--serial", simPort, "--log", root_ + "/sim.log"};
    sim.environment = {{"WINEPREFIX", WinePrefix()}, {"WINEDEBUG", "-all"}};
    sim.output = root_ + "/sim.out";
    const int pid = Start(sim);
    if (pid < 0) {
        return;
    }
    processes_.push_back(pid);
    for (int i = 0; i < 3000 && ReadFile(sim.output).find("serving") == std::string::npos; ++i) {
        usleep(10000);
    }
    if (ReadFile(sim.output).find("serving") == std::string::npos) {
        ADD_FAILURE() << simulator << " did not start: " << ReadFile(sim.output);
    }
}

std::vector<std::string> Workspace::SimulatorCommands() const {
    std::vector<std::string> commands;
    std::istringstream log(ReadFile(root_ + "/sim.log"));
    std::string line;
    while (std::getline(log, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();  // a Windows text file's line end
        }
        const std::size_t at = line.find(" < ");
        std::string bytes;
        if (at != std::string::npos && tarvexsim::Unescape(line.substr(at + 3), &bytes)) {
            commands.push_back(bytes);
        }
    }
    return commands;
}

Result Workspace::Run(const std::vector<std::string>& args, const RunOptions& options) const {
    Child child;
    child.workingDir = options.workingDir.empty() ? root_ : options.workingDir;
    std::string programWord;
    switch (options.invocation) {
        case Invocation::kFullPath:
            programWord = exePath();
            break;
        case Invocation::kRelative:
            programWord = options.relativePath;
            break;
        case Invocation::kViaPath:
            programWord = build_ != Build::kWindows ? "morva" : "morva.exe";
            break;
    }
    if (build_ != Build::kWindows) {
        child.exec = exePath();
        child.argv.push_back(programWord);
        child.environment["MORVA_PORTS"] = options.defaultMap ? "" : portsDir_;
        if (options.invocation == Invocation::kViaPath) {
            child.environment["PATH"] = options.searchPath;
        }
        if (options.unprivileged && geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr) {
                ADD_FAILURE() << "no user nobody";
                return {};
            }
            child.switchUser = true;
            child.uid = nobody->pw_uid;
            child.gid = nobody->pw_gid;
        }
    } else {
        child.exec = "/usr/bin/wine";
        child.argv.push_back("wine");
        child.environment["WINEPREFIX"] = WinePrefix();
        child.environment["WINEDEBUG"] = "-all";
        if (options.invocation == Invocation::kFullPath) {
            child.argv.push_back(programWord);
        } else {
            // Started by cmd, the program sees the path as it was typed.
            child.argv.insert(child.argv.end(), {"cmd", "/c", programWord});
            if (options.invocation == Invocation::kViaPath) {
                child.environment["WINEPATH"] = options.searchPath;
            }
        }
    }
    for (const auto& [name, value] : options.environment) {
        child.environment[name] = value;
    }
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    Result result = Spawn(child, options);
    // Under load Wine now and then fails to start a program at all ("Application could not be
    // started, or no application associated with the specified file."): nothing of the
    // program ran, so it is started again.
    constexpr int kWineStarts = 3;
    for (int start = 1; build_ == Build::kWindows && start < kWineStarts && result.exitCode == 1 &&
                        result.output.rfind("Application could not be started", 0) == 0;
         ++start) {
        result = Spawn(child, options);
    }
    if (build_ == Build::kWindows) {
        result.output = TurnBackLineEnds(result.output);
    }
    return result;
}

std::string WindowsProgram(const std::string& relative) {
    const char* windowsExe = std::getenv("MORVA_WINDOWS_EXE");
    const std::string exe = windowsExe != nullptr && *windowsExe ? windowsExe : MORVA_WINDOWS_EXE;
    return exe.substr(0, exe.rfind('/')) + "/" + relative;
}

bool DeclareWinePorts(const std::vector<std::pair<int, std::string>>& ports) {
    const std::string wine = "WINEPREFIX='" + WinePrefix() + "' WINEDEBUG=-all ";
    std::string script = wine + "wine reg delete 'HKLM\\Software\\Wine\\Ports' /f;";
    for (const auto& [port, device] : ports) {
        script += wine + "wine reg add 'HKLM\\Software\\Wine\\Ports' /v COM" +
                  std::to_string(port) + " /d '" + device + "' /f || exit 1;";
    }
    // The server must be persistent from its start; the next start of a program then brings
    // up Wine's services, which fill SERIALCOMM.
    script += wine + "wineserver -k; " + wine + "wineserver -w; " + wine +
              "wineserver -p || exit 1;" + wine +
              "wine reg query 'HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM' || true";
    const bool done = std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
    if (ports.empty()) {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(WinePrefix() + "/dosdevices", ignored)) {
            if (entry.path().filename().string().rfind("com", 0) == 0) {
                fs::remove(entry.path(), ignored);
            }
        }
    }
    return done;
}

bool WaitForFirstCommand(const tarvexsim::Device& device) {
    for (int i = 0; i < 500 && device.Commands().empty(); ++i) {
        usleep(10000);
    }
    return !device.Commands().empty();
}

bool WaitForVanish(const tarvexsim::Device& device) {
    for (int i = 0; i < 1000 && !device.vanished(); ++i) {
        usleep(10000);
    }
    return device.vanished();
}

int HoldAsControllingTerminal(const std::string& tty) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
        if (setsid() < 0 || fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) {
            _exit(1);
        }
        if (write(ready[1], "+", 1) != 1) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char taken = 0;
    const bool held = pid > 0 && read(ready[0], &taken, 1) == 1;
    close(ready[0]);
    if (pid > 0 && !held) {
        EndProcess(pid);
    }
    return held ? pid : -1;
}

int HoldManySessions(int count) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t keeper = fork();
    if (keeper == 0) {
        // The sessions end with the tests, also when a test stops before it ends them. Nothing
        // of the tests' own (ports, pipes) stays open in them.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close_range(3, static_cast<unsigned int>(ready[1]) - 1, 0);
        close_range(static_cast<unsigned int>(ready[1]) + 1, ~0U, 0);
        for (int i = 0; i < count; ++i) {
            if (fork() != 0) {
                continue;
            }
            // Each session ends with the keeper.
            int unlocked = 0;
            const int master = open("/dev/ptmx", O_RDWR | O_NOCTTY);
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() == 1 || master < 0 ||
                ioctl(master, TIOCSPTLCK, &unlocked) != 0 || setsid() < 0) {
                _exit(1);
            }
            const int slave = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY);
            if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0 || write(ready[1], "+", 1) != 1) {
                _exit(1);
            }
            close(ready[1]);
            for (;;) {
                pause();
            }
        }
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    int held = 0;
    char taken[256];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (keeper > 0 && held < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{ready[0], POLLIN, 0};
        const ssize_t got = left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0
                                ? read(ready[0], taken, sizeof taken)
                                : 0;
        if (got <= 0) {
            break;
        }
        held += static_cast<int>(got);
    }
    close(ready[0]);
    if (keeper > 0 && held < count) {
        EndProcess(keeper);
    }
    return keeper > 0 && held >= count ? keeper : -1;
}

void ExpectNoHang(const Result& run) {
    constexpr double kHangSeconds = 40;
    EXPECT_LT(run.seconds, kHangSeconds)
        << "hang detector: the run's time-outs add up to a few seconds, and this bound is far "
           "above what a loaded machine needs";
}

void EndProcess(int pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int EndedProcessId() {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

std::string UucpLockPath(const std::string& tty) {
    return "/run/lock/LCK..pts_" + tty.substr(tty.rfind('/') + 1);
}

std::string UucpLockText(int pid, bool binary) {
    if (binary) {
        return std::string(reinterpret_cast<const char*>(&pid), sizeof pid);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%10d term user\n", pid);
    return text;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace e2e

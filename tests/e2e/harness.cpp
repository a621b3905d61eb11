#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace e2e {
namespace fs = std::filesystem;

namespace {

std::string WinePrefix() {
    const char* prefix = std::getenv("MORVA_TEST_WINEPREFIX");
    return prefix != nullptr ? prefix : "";
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

Result Spawn(const Child& child, const RunOptions& options) {
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (child.environment.count(name) == 0) {
            envStore.push_back(entry);
        }
    }
    for (const auto& [name, value] : child.environment) {
        envStore.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& s : envStore) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStore = child.argv;
    std::vector<char*> argv;
    for (std::string& s : argStore) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

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
        setpgid(0, 0);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(devnull, 2);
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

}  // namespace

std::string BuildName(Build build) {
    return build == Build::kPosix ? "Posix" : "Windows";
}

Workspace::Workspace(Build build, const std::string& exeFolder) : build_(build) {
    std::string pattern = (fs::temp_directory_path() / "morva-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    root_ = pattern;
    exeDir_ = root_ + "/" + exeFolder;
    fs::create_directories(exeDir_);
    // MORVA_WINDOWS_EXE in the environment: another Windows build (the 32-bit one) in its rows.
    const char* windowsExe = std::getenv("MORVA_WINDOWS_EXE");
    const std::string source = build == Build::kPosix                 ? MORVA_POSIX_EXE
                               : windowsExe != nullptr && *windowsExe ? windowsExe
                                                                      : MORVA_WINDOWS_EXE;
    if (!fs::exists(source)) {
        ADD_FAILURE() << "missing " << source << ": build the posix and windows presets first";
    } else {
        fs::copy_file(source, exePath(), fs::copy_options::overwrite_existing);
    }
    if (build == Build::kPosix) {
        portsDir_ = root_ + "/ports";
        fs::create_directories(portsDir_);
    } else {
        if (WinePrefix().empty()) {
            ADD_FAILURE() << "MORVA_TEST_WINEPREFIX is not set: run the tests through ctest";
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
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string Workspace::exePath() const {
    return exeDir_ + (build_ == Build::kPosix ? "/morva" : "/morva.exe");
}

tarvexsim::Device& Workspace::AddDevice(int port, const tarvexsim::Options& options,
                                        std::function<void(const std::string&)> logger) {
    devices_.push_back(std::make_unique<tarvexsim::Device>(portsDir_, port, options));
    if (logger) {
        devices_.back()->SetLogger(std::move(logger));
    }
    std::string error;
    if (!devices_.back()->Start(&error)) {
        ADD_FAILURE() << "simulated device on COM" << port << ": " << error;
    }
    return *devices_.back();
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
            programWord = build_ == Build::kPosix ? "morva" : "morva.exe";
            break;
    }
    if (build_ == Build::kPosix) {
        child.exec = exePath();
        child.argv.push_back(programWord);
        child.environment["MORVA_PORTS"] = portsDir_;
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
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    Result result = Spawn(child, options);
    if (build_ == Build::kWindows) {
        result.output = TurnBackLineEnds(result.output);
    }
    return result;
}

bool WaitForFirstCommand(const tarvexsim::Device& device) {
    for (int i = 0; i < 500 && device.Commands().empty(); ++i) {
        usleep(10000);
    }
    return !device.Commands().empty();
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

// End-to-end runs: the real morva (Linux build) or morva.exe (under Wine) as a subprocess,
// talking to simulated devices on pseudo-terminals.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "device.h"

namespace e2e {

// kPosixTtyPair: the Linux build, each device served on one end of a connected pair of ttys
// (made by socat) and the program on the other end.
enum class Build { kPosix, kWindows, kPosixTtyPair };

std::string BuildName(Build build);

// How the program is started, which decides the program path it sees.
enum class Invocation {
    kFullPath,  // by absolute path
    kRelative,  // by a path relative to the working directory
    kViaPath,   // by its bare name, found through the search path
};

// What the program's standard output is connected to.
enum class Output {
    kRead,    // a pipe that the harness reads to the end
    kClosed,  // a pipe without a reader: every write to it fails
    kFull,    // a pipe that starts full: the first message waits until `started` returns
};

struct RunOptions {
    Invocation invocation = Invocation::kFullPath;
    std::string workingDir;    // default: the workspace's own folder
    std::string relativePath;  // for kRelative: the path as typed, from workingDir
    std::string searchPath;    // for kViaPath: PATH (POSIX) or WINEPATH (Windows)
    // POSIX build: run as user nobody when the tests run as root, so that file permissions
    // bind the program (root writes anywhere). Ignored on Windows and when not root.
    bool unprivileged = false;
    std::chrono::seconds timeout{60};
    Output output = Output::kRead;
    // POSIX build: standard input and output closed, as `<&- >&-` leave them (no output then).
    bool closedInputAndOutput = false;
    // POSIX build: MORVA_PORTS empty, so that the default map of device names names the ports.
    bool defaultMap = false;
    // POSIX build: started in a session of its own without a controlling terminal, as a
    // service is, rather than in a process group of its own.
    bool sessionLeader = false;
    // POSIX build: run in the new process just before the program (async-signal-safe calls
    // only); false fails the run with exit code 124.
    std::function<bool()> inChild;
    // Called on the caller's thread once the program runs, with its process id.
    std::function<void(int pid)> started;
    // More environment variables for the program (under Wine, passed on to it): a driver
    // model's script, a run record's file.
    std::map<std::string, std::string> environment;
};

struct Result {
    int exitCode = -1;   // -1 when the run was killed at its time-out or ended by a signal
    int signal = 0;      // the signal that ended the run; 0 when it exited
    std::string output;  // standard output; on Windows "\r\n" turned back into "\n"
    double seconds = 0;
};

// A temporary folder holding a private copy of the executable, and the ports folder in which
// simulated devices publish com<n>. Devices and folders are removed on destruction.
class Workspace {
  public:
    // The executable's copy lies in the folder `exeFolder` of the temporary folder; `program`:
    // the executable to copy instead of the build's own morva or morva.exe.
    explicit Workspace(Build build, const std::string& exeFolder = "bin",
                       const std::string& program = "");
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    Build build() const { return build_; }
    const std::string& root() const { return root_; }      // temporary folder
    const std::string& exeDir() const { return exeDir_; }  // folder of the executable copy
    std::string exePath() const;                           // the copy of morva or morva.exe
    std::string settingsPath() const { return exeDir_ + "/morva.ini"; }
    const std::string& portsDir() const { return portsDir_; }

    // Starts a simulated device on COM<port>; fails the test when it cannot start.
    // `logger` sees every command as it arrives, before the device answers it.
    tarvexsim::Device& AddDevice(int port, const tarvexsim::Options& options = {},
                                 std::function<void(const std::string&)> logger = nullptr);

    // Windows build: starts the simulator program `simulator` (tarvex-sim.exe) under Wine on
    // COM<port + 1>, a tty pair's end whose other end is COM<port>; fails the test when it
    // does not come up.
    void AddSimulatorProgram(int port, const std::string& simulator);
    // Every command that the simulator program logged, as bytes.
    std::vector<std::string> SimulatorCommands() const;

    // Runs the program with `args` (the words after the program path).
    Result Run(const std::vector<std::string>& args, const RunOptions& options = {}) const;

  private:
    // Makes a connected pair of ttys; returns their paths, held open so that the pair lives
    // while devices and programs come and go on its ends.
    bool MakeTtyPair(std::string* deviceEnd, std::string* programEnd);

    Build build_;
    std::string root_;
    std::string exeDir_;
    std::string portsDir_;
    std::vector<std::unique_ptr<tarvexsim::Device>> devices_;
    std::vector<int> processes_;  // socat and simulator programs, ended on destruction
    std::vector<int> heldEnds_;
};

// A hang detector for a run whose time-outs add up to a few seconds: far above what it needs
// even on a machine loaded six CPU hogs a core deep, so only a run that hangs reaches it.
void ExpectNoHang(const Result& run);

// A program of the Windows build in use (MORVA_WINDOWS_EXE: the 32-bit one), by its path
// below the build's folder, as "tests/drivers/morva-model.exe".
std::string WindowsProgram(const std::string& relative);

// Windows build: makes HKLM\Software\Wine\Ports declare exactly these COM ports (number,
// Unix device) and restarts the test run's Wine server, which reads them as it starts and
// lists them in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM; with none, it also takes away the
// com<n> links that the restarted server made. True when Wine did all that.
bool DeclareWinePorts(const std::vector<std::pair<int, std::string>>& ports);

// Waits up to five seconds for the device's first command; true once it has arrived.
bool WaitForFirstCommand(const tarvexsim::Device& device);
// Waits until a device told to vanish has gone and let go of its port and its claim on the
// port number, so that another can take them: true once it has (within ten seconds).
bool WaitForVanish(const tarvexsim::Device& device);

// Starts a process in a session of its own that takes `tty` as its controlling terminal, as a
// login shell does its terminal: its id once it has, -1 when it failed. End it with EndProcess.
int HoldAsControllingTerminal(const std::string& tty);
void EndProcess(int pid);
// Starts a process that keeps `count` sessions, each with a new pseudo-terminal as its
// controlling terminal, as a terminal server with that many users does: its id once all are
// held, -1 when they could not be. Ending it with EndProcess ends every session.
int HoldManySessions(int count);
// The id of a process that has ended.
int EndedProcessId();

// The UUCP lock file that serial programs take for the tty "/dev/pts/<n>":
// /run/lock/LCK..pts_<n>. Its content names `pid` as ASCII text followed by the program and
// the user, or, as old programs write it, as a binary int.
std::string UucpLockPath(const std::string& tty);
std::string UucpLockText(int pid, bool binary);

// Writes `text` to `path` (binary); reads a whole file ("" when missing).
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

}  // namespace e2e

namespace e2e {
inline void PrintTo(Build build, std::ostream* os) {
    *os << BuildName(build);
}
}  // namespace e2e

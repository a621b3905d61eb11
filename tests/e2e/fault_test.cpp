// Faults of the device, the port and the settings file: each run ends with the exit code that
// the program promises, in bounded time, and leaves the port free for the next exchange.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using e2e::Build;
using e2e::Workspace;

// The port opens at once and answers normally again after the fault.
void ExpectPortFree(const Workspace& ws, tarvexsim::Device& device) {
    device.SetOptions(tarvexsim::Options{});
    const auto run = ws.Run({"-c", std::to_string(device.port()), "UTID"});
    EXPECT_EQ(run.output, "TARVEX-7310 V2.10\r\n");
    EXPECT_EQ(run.exitCode, 0);
}

struct DeviceFault {
    const char* name;
    void (*fault)(tarvexsim::Options*);
    std::string output;
    int exitCode;
};

void PrintTo(const DeviceFault& fault, std::ostream* os) {
    *os << fault.name;
}

class DeviceFaults : public ::testing::TestWithParam<std::tuple<Build, DeviceFault>> {};

TEST_P(DeviceFaults, EndWithThePromisedCode) {
    const auto& [build, fault] = GetParam();
    Workspace ws(build);
    tarvexsim::Options options;
    fault.fault(&options);
    auto& device = ws.AddDevice(3, options);
    const auto run = ws.Run({"-c", "3", "UTID"});
    EXPECT_EQ(run.output, fault.output);
    EXPECT_EQ(run.exitCode, fault.exitCode);
    e2e::ExpectNoHang(run);
    ExpectPortFree(ws, device);
}

const DeviceFault kDeviceFaults[] = {
    {"Flood", [](tarvexsim::Options* o) { o->flood = true; }, "Cannot receive reply string\n", 105},
    {"TricklePastThePollLimit",
     [](tarvexsim::Options* o) {
         o->trickle_forever = true;
         o->trickle_ms = 15;
     },
     "Cannot receive reply string\n", 104},
    {"TrickleFillsTheBuffer",
     [](tarvexsim::Options* o) {
         o->trickle_forever = true;
         o->trickle_ms = 1;
     },
     "Cannot receive reply string\n", 105},
    {"NulBeforeCarriageReturn",
     [](tarvexsim::Options* o) { o->replies["UTID"] = std::string("AB\0\rCD", 6); },
     "Cannot receive reply string\n", 104},
};

INSTANTIATE_TEST_SUITE_P(Builds, DeviceFaults,
                         ::testing::Combine(::testing::Values(Build::kPosix, Build::kWindows),
                                            ::testing::ValuesIn(kDeviceFaults)),
                         [](const auto& info) {
                             return e2e::BuildName(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

class Faults : public ::testing::TestWithParam<Build> {};

TEST_P(Faults, DeviceUnpluggedWhileReplying) {
    Workspace ws(GetParam());
    tarvexsim::Options options;
    options.trickle_ms = 100;
    options.identity = "TARVEX-7310 A LONG IDENTITY TEXT";
    auto& device = ws.AddDevice(3, options);
    auto run = std::async(std::launch::async, [&] { return ws.Run({"-c", "3", "UTID"}); });
    ASSERT_TRUE(e2e::WaitForFirstCommand(device));
    usleep(300000);
    device.Stop();
    const auto result = run.get();
    // The status query fails once the device is gone, which counts as a line error.
    EXPECT_EQ(result.exitCode, 101);
    EXPECT_EQ(result.output, "Cannot receive reply string\n");
    e2e::ExpectNoHang(result);
    // A device plugged in again on the same port is reached at once.
    auto& again = ws.AddDevice(3);
    ExpectPortFree(ws, again);
}

TEST_P(Faults, FloodingDeviceIsSkippedByTheScan) {
    Workspace ws(GetParam());
    tarvexsim::Options flood;
    flood.flood = true;
    auto& flooding = ws.AddDevice(2, flood);
    ws.AddDevice(4);
    const auto run = ws.Run({"HWSC"});
    EXPECT_EQ(run.output, "COM4\n\n");
    EXPECT_EQ(run.exitCode, 0);
    ExpectPortFree(ws, flooding);
}

TEST_P(Faults, ConcurrentWritersLeaveOneValidValue) {
    Workspace ws(GetParam());
    e2e::WriteFile(ws.settingsPath(), "[other]\nkey=value\n[morva]\nport=1\n");
    std::vector<std::future<e2e::Result>> writers;
    for (int i = 0; i < 8; ++i) {
        writers.push_back(std::async(std::launch::async, [&ws, i] {
            return ws.Run({"SCOM", std::to_string(10 + i)});
        }));
    }
    for (auto& writer : writers) {
        EXPECT_EQ(writer.get().exitCode, 0);
    }
    const auto shown = ws.Run({"SCOM"});
    EXPECT_EQ(shown.exitCode, 0);
    const int port = std::atoi(shown.output.c_str());
    EXPECT_TRUE(port >= 10 && port <= 17) << shown.output;
    EXPECT_EQ(shown.output, std::to_string(port) + "\n");
    const std::string file = e2e::ReadFile(ws.settingsPath());
    EXPECT_NE(file.find("key=value"), std::string::npos) << file;
}

TEST_P(Faults, FirmwareFileDeletedBeforeTheFlashPass) {
    Workspace ws(GetParam());
    const std::string path = ws.root() + "/fw.mot";
    e2e::WriteFile(path, "S00B00004B52543037515F5894\nS1050010AABB85\nS9030000FC\n");
    // The first line of the test pass proves the pass holds the file open; deleting it then
    // leaves the test pass whole and the flash pass without a file.
    int lines = 0;
    auto& device = ws.AddDevice(3, {}, [&](const std::string& line) {
        if (line.find(" < S0") != std::string::npos && ++lines == 1) {
            std::filesystem::remove(path);
        }
    });
    const auto run = ws.Run({"-c", "3", "UPDT", "-w", path});
    EXPECT_EQ(run.output,
              "\rUPDT Test : 1 / 3\rUPDT Test : 2 / 3\rUPDT Test : 3 / 3 ... test succeeded\n"
              " ... Update failed\n");
    EXPECT_EQ(run.exitCode, 5);
    ASSERT_FALSE(device.Commands().empty());
    EXPECT_EQ(device.Commands().back(), "UPDT Flash\r");
    ExpectPortFree(ws, device);
}

TEST_P(Faults, DeviceUnpluggedInTheMiddleOfAPass) {
    Workspace ws(GetParam());
    const std::string path = ws.root() + "/fw.mot";
    e2e::WriteFile(path, "S1050010AABB85\nS1050012CCDD3F\nS9030000FC\n");
    tarvexsim::Options options;
    options.vanish_after = 2;
    auto& device = ws.AddDevice(3, options);
    const auto run = ws.Run({"-c", "3", "UPDT", path});
    EXPECT_EQ(run.output,
              "\rUPDT Test : 1 / 3\rUPDT Test : 2 / 3\rUPDT Test : 3 / 3 ... test failed\n");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(device.Commands().size(), 3U);
    e2e::ExpectNoHang(run);
    // The program gives up as soon as the port is gone; the device lets go of it a little later.
    ASSERT_TRUE(e2e::WaitForVanish(device));
    auto& again = ws.AddDevice(3);
    ExpectPortFree(ws, again);
}

TEST_P(Faults, LateReplyIsNotTheNextAnswer) {
    Workspace ws(GetParam());
    tarvexsim::Options late;
    late.keep_unread = true;
    late.replies["SLOW"] = "LATE\r";
    late.split = true;
    late.split_at = 1;
    late.rest_after_close = true;
    auto& device = ws.AddDevice(3, late);
    EXPECT_EQ(ws.Run({"-c", "3", "SLOW"}).exitCode, 104);
    // The rest of the late reply waits in the port before the next exchange opens it.
    const int slave = open(device.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    int waiting = 0;
    for (int i = 0; i < 500 && waiting < 4; ++i) {
        usleep(10000);
        ASSERT_EQ(ioctl(slave, FIONREAD, &waiting), 0);
    }
    close(slave);
    ASSERT_EQ(waiting, 4);
    tarvexsim::Options prompt;
    prompt.keep_unread = true;
    device.SetOptions(prompt);
    const auto run = ws.Run({"-c", "3", "UTID"});
    EXPECT_EQ(run.output, "TARVEX-7310 V2.10\r\n");
    EXPECT_EQ(run.exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, Faults, ::testing::Values(Build::kPosix, Build::kWindows),
                         [](const auto& info) { return e2e::BuildName(info.param); });

// Faults of a shared bench around a firmware update: output pipes, interrupts, other morva
// processes, ports that other programs hold. After each, the port carries no exclusive mark
// and opens at once for the next exchange.

const std::string kFirmware = "S00B00004B52543037515F5894\nS1050010AABB85\nS9030000FC\n";
const std::vector<std::string> kWholeUpdate = {
    "UPDT Test\r",  "S00B00004B52543037515F5894\r", "S1050010AABB85\r", "S9030000FC\r",
    "UPDT Flash\r", "S00B00004B52543037515F5894\r", "S1050010AABB85\r", "S9030000FC\r"};
const std::string kTestPassOutput =
    "\rUPDT Test : 1 / 3\rUPDT Test : 2 / 3\rUPDT Test : 3 / 3 ... test succeeded\n";
const std::string kUpdateOutput =
    kTestPassOutput +
    "\rUPDT Flash : 1 / 3\rUPDT Flash : 2 / 3\rUPDT Flash : 3 / 3 ... Update succeeded\n";

// True while the tty carries the exclusive mark.
bool MarkedExclusive(const std::string& tty) {
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int marked = 0;
    const bool known = fd >= 0 && ioctl(fd, TIOCGEXCL, &marked) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return !known || marked != 0;
}

struct Bench {
    Workspace* ws = nullptr;
    tarvexsim::Device* device = nullptr;
    std::string firmware;
    e2e::RunOptions options;
    int signal = 0;  // sent by SignalInTheFlashPass
    std::atomic<int> pid{0};
    std::function<void()> afterRun;  // before the port is checked
};

struct BenchFault {
    const char* name;
    Build build;
    void (*arrange)(Bench*);
    std::vector<std::string> args;  // after "-c 3"; "fw" stands for the firmware path
    int exitCode;                   // -1: ended by `signal`
    int signal;
    std::string output;
    std::vector<std::string> received;
};

void PrintTo(const BenchFault& fault, std::ostream* os) {
    *os << fault.name;
}

// The signal reaches the program while it waits for the device's answer to the second line
// of the flash pass: the port is open.
void SignalInTheFlashPass(Bench* bench) {
    bench->options.started = [bench](int pid) { bench->pid = pid; };
    bench->device->SetLogger([bench](const std::string& line) {
        if (line.find(" < ") != std::string::npos && bench->device->Commands().size() == 7) {
            kill(bench->pid, bench->signal);
        }
    });
}

// Another morva's exchanges while the update waits between two of its own (its first
// progress text cannot be written until the intruders are done).
void OtherMorvaDuringTheUpdate(Bench* bench) {
    bench->options.output = e2e::Output::kFull;
    bench->options.started = [bench](int) {
        ASSERT_TRUE(e2e::WaitForFirstCommand(*bench->device));
        usleep(500000);
        const auto utid = bench->ws->Run({"-c", "3", "UTID"});
        EXPECT_EQ(utid.output, "Cannot open COM3\n");
        EXPECT_EQ(utid.exitCode, 3);
        const auto scan = bench->ws->Run({"HWSC"});
        EXPECT_EQ(scan.output, "No Tarvex connected.\n");
        EXPECT_EQ(scan.exitCode, 0);
        const auto update = bench->ws->Run({"-c", "3", "UPDT", bench->firmware});
        EXPECT_EQ(update.output, " ... test failed\n");
        EXPECT_EQ(update.exitCode, 3);
    };
}

// Another program opened the tty and set the exclusive mark; it keeps it.
void MarkedByAnotherProgram(Bench* bench) {
    const int fd = open(bench->device->slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    bench->afterRun = [fd] {
        int marked = 0;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &marked), 0);
        EXPECT_EQ(marked, 1) << "the other program's mark must stay";
        ioctl(fd, TIOCNXCL);
        close(fd);
    };
}

// A login shell of another session has the tty as its controlling terminal; the tty keeps the
// settings that the session gave it.
void ControllingTerminalOfAnotherSession(Bench* bench) {
    const std::string tty = bench->device->slave_path();
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios kept{};
    ASSERT_EQ(tcgetattr(fd, &kept), 0);
    termios session = kept;
    session.c_lflag |= ECHO | ICANON;
    ASSERT_EQ(cfsetspeed(&session, B38400), 0);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &session), 0);
    const int shell = e2e::HoldAsControllingTerminal(tty);
    ASSERT_GT(shell, 0);
    bench->afterRun = [fd, kept, session, shell] {
        termios after{};
        EXPECT_EQ(tcgetattr(fd, &after), 0);
        EXPECT_EQ(cfgetospeed(&after), B38400);
        EXPECT_EQ(after.c_lflag, session.c_lflag);
        EXPECT_EQ(after.c_cflag, session.c_cflag);
        e2e::EndProcess(shell);
        tcsetattr(fd, TCSANOW, &kept);
        close(fd);
    };
}

// Another program holds the tty by the UUCP lock file `path` naming a live process (this one);
// once the file names a process that has ended, it is stale and binds no one.
void UucpLockAt(Bench* bench, const std::string& path, bool binary) {
    if (access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "/run/lock is not writable: run the tests as root";
    }
    e2e::WriteFile(path, e2e::UucpLockText(getpid(), binary));
    bench->afterRun = [bench, path, binary] {
        e2e::WriteFile(path, e2e::UucpLockText(e2e::EndedProcessId(), binary));
        ExpectPortFree(*bench->ws, *bench->device);
        std::remove(path.c_str());
    };
}

void UucpLock(Bench* bench, bool binary) {
    UucpLockAt(bench, e2e::UucpLockPath(bench->device->slave_path()), binary);
}

void UucpLockAsText(Bench* bench) {
    UucpLock(bench, false);
}

void UucpLockAsBinary(Bench* bench) {
    UucpLock(bench, true);
}

// Another user's UUCP lock file for the tty appears while the update runs, naming PID 1, which
// always lives: the update was judged free when it took its hold, and goes on.
void UucpLockDuringTheUpdate(Bench* bench) {
    if (access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "/run/lock is not writable: run the tests as root";
    }
    const std::string path = e2e::UucpLockPath(bench->device->slave_path());
    bench->device->SetLogger([bench, path](const std::string& line) {
        if (line.find(" < ") != std::string::npos && bench->device->Commands().size() == 2) {
            e2e::WriteFile(path, e2e::UucpLockText(1, false));
        }
    });
    bench->afterRun = [path] {
        EXPECT_TRUE(std::filesystem::exists(path));
        std::remove(path.c_str());
    };
}

// Another user's link at the tty's UUCP lock name leads to a terminal whose input waits: the
// terminal is neither opened nor read, and the link counts as the lock of a live program.
void LinkAtTheUucpLockName(Bench* bench) {
    if (access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "/run/lock is not writable: run the tests as root";
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(write(master, "secret\n", 7), 7);
    int waiting = 0;
    for (int i = 0; i < 100 && waiting < 7; ++i) {
        usleep(10000);
        ASSERT_EQ(ioctl(slave, FIONREAD, &waiting), 0);
    }
    const std::string path = e2e::UucpLockPath(bench->device->slave_path());
    std::filesystem::create_symlink(terminal, path);
    bench->afterRun = [master, slave, path] {
        int left = 0;
        EXPECT_EQ(ioctl(slave, FIONREAD, &left), 0);
        EXPECT_EQ(left, 7) << "the terminal's waiting input was read";
        std::remove(path.c_str());
        close(slave);
        close(master);
    };
}

// A FIFO at the tty's UUCP lock name is no stale lock: it counts as a live program's, and is
// never opened for reading (which would wait for a writer).
void FifoAtTheUucpLockName(Bench* bench) {
    if (access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "/run/lock is not writable: run the tests as root";
    }
    const std::string path = e2e::UucpLockPath(bench->device->slave_path());
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    bench->afterRun = [path] { std::remove(path.c_str()); };
}

// The name of morva's own lock file of the tty, in the folder that morva picks for it.
std::string MorvaLockPath(const std::string& tty) {
    struct stat device {};
    struct stat folder {};
    EXPECT_EQ(stat(tty.c_str(), &device), 0);
    const bool shared = stat("/run/lock", &folder) == 0 && S_ISDIR(folder.st_mode) &&
                        (folder.st_mode & 01777) == 01777;
    return std::string(shared ? "/run/lock" : "/tmp") + "/morva-tty-" +
           std::to_string(major(device.st_rdev)) + "-" + std::to_string(minor(device.st_rdev)) +
           ".lock";
}

// Another user put something that cannot be morva's lock at the lock file's name before morva
// made it; it goes after the run.
void PlantAtTheLockPath(Bench* bench, void (*plant)(const std::string& path)) {
    const std::string path = MorvaLockPath(bench->device->slave_path());
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    plant(path);
    bench->afterRun = [path] {
        std::error_code gone;
        std::filesystem::remove(path, gone);
    };
}

void LockPathIsAFolder(Bench* bench) {
    PlantAtTheLockPath(bench, [](const std::string& path) {
        ASSERT_TRUE(std::filesystem::create_directory(path));
    });
}

void LockPathIsAFifo(Bench* bench) {
    PlantAtTheLockPath(bench,
                       [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); });
}

void LockPathIsADanglingLink(Bench* bench) {
    PlantAtTheLockPath(bench, [](const std::string& path) {
        std::filesystem::create_symlink(path + ".nowhere", path);
    });
}

void LockPathIsAFileOfAnotherUser(Bench* bench) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to make a file of another user";
    }
    PlantAtTheLockPath(bench, [](const std::string& path) {
        e2e::WriteFile(path, "");
        ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    });
}

// More sessions than the process list's table keeps, each with a controlling terminal.
void ManySessions(Bench* bench) {
    const int keeper = e2e::HoldManySessions(1030);
    ASSERT_GT(keeper, 0) << "could not hold 1030 pseudo-terminals as controlling terminals";
    bench->afterRun = [keeper] { e2e::EndProcess(keeper); };
}

// Among them, the tty is a login shell's terminal, found by the pass for that tty alone.
void ControllingTerminalAmongManySessions(Bench* bench) {
    ManySessions(bench);
    const std::function<void()> sessions = bench->afterRun;
    ControllingTerminalOfAnotherSession(bench);
    const std::function<void()> shell = bench->afterRun;
    bench->afterRun = [sessions, shell] {
        shell();
        sessions();
    };
}

// The short name of the lock file, LCK..<n> for /dev/pts/<n>, as some programs write it.
void UucpLockByShortName(Bench* bench) {
    const std::string tty = bench->device->slave_path();
    UucpLockAt(bench, "/run/lock/LCK.." + tty.substr(tty.rfind('/') + 1), false);
}

// The program runs as user nobody, who may open the port; skipped unless the tests run as root.
void AsNobody(Bench* bench) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run the program as another user";
    }
    ASSERT_EQ(chmod(bench->ws->root().c_str(), 0755), 0);
    ASSERT_EQ(chmod(bench->device->slave_path().c_str(), 0666), 0);
    bench->options.unprivileged = true;
}

// The lock file names a live process of another user (root's), which nobody may not signal.
void UucpLockOfAnotherUser(Bench* bench) {
    AsNobody(bench);
    if (!::testing::Test::IsSkipped() && !::testing::Test::HasFatalFailure()) {
        UucpLock(bench, false);
    }
}

// Another program marks the tty exclusive between two lines of the test pass and lifts the
// mark a moment later, well within the time that the update tries the port again.
void MarkedExclusiveForAMoment(Bench* bench) {
    AsNobody(bench);
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) {
        return;
    }
    auto mark = std::make_shared<std::pair<int, std::future<void>>>(-1, std::future<void>());
    const std::string tty = bench->device->slave_path();
    bench->device->SetLogger([bench, mark, tty](const std::string& line) {
        if (line.find(" < ") != std::string::npos && bench->device->Commands().size() == 3) {
            mark->first = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ioctl(mark->first, TIOCEXCL);
            const int fd = mark->first;
            mark->second = std::async(std::launch::async, [fd] {
                usleep(300000);
                ioctl(fd, TIOCNXCL);
            });
        }
    });
    // Closed only after the run: a close of the device's tty drops the reply on its way.
    bench->afterRun = [mark] {
        ASSERT_TRUE(mark->second.valid()) << "the tty was never marked";
        mark->second.wait();
        close(mark->first);
    };
}

// `look` runs at the program's first command, while its exchange holds the port; what it
// found must be `expected`.
void LookWhileHeld(Bench* bench, std::function<std::string(int pid)> look, std::string expected) {
    struct Found {
        std::mutex mu;
        std::string text = "(not looked)";
    };
    auto found = std::make_shared<Found>();
    bench->options.started = [bench](int pid) { bench->pid = pid; };
    bench->device->SetLogger([bench, look, found](const std::string& line) {
        if (line.find(" < ") == std::string::npos || bench->device->Commands().size() != 1) {
            return;
        }
        while (bench->pid == 0) {
            usleep(1000);
        }
        const std::string text = look(bench->pid);
        const std::lock_guard<std::mutex> lock(found->mu);
        found->text = text;
    });
    bench->afterRun = [found, expected] {
        const std::lock_guard<std::mutex> lock(found->mu);
        EXPECT_EQ(found->text, expected);
    };
}

std::string LineSettings(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return "unreadable";
    }
    const auto baud = [](speed_t speed) -> std::string {
        return speed == B9600 ? "9600" : speed == B19200 ? "19200" : "other";
    };
    std::string text = baud(cfgetispeed(&t)) + "/" + baud(cfgetospeed(&t));
    text += (t.c_cflag & CSIZE) == CS8 ? " 8" : " not 8";
    text += (t.c_cflag & PARENB) != 0 ? "P" : "N";
    text += (t.c_cflag & CSTOPB) != 0 ? "2" : "1";
    if ((t.c_cflag & CRTSCTS) != 0 || (t.c_iflag & (IXON | IXOFF | IXANY)) != 0) {
        text += " flow control";
    }
    if ((t.c_lflag & (ICANON | ECHO | ISIG)) != 0 || (t.c_oflag & OPOST) != 0) {
        text += " cooked";
    }
    return text;
}

std::string ControllingTerminal(int pid) {
    const std::string stat = e2e::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // After the command name: state, parent, group, session, tty_nr.
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    long long ppid = 0;
    long long group = 0;
    long long session = 0;
    long long tty = -1;
    fields >> state >> ppid >> group >> session >> tty;
    return tty == 0 ? "no controlling terminal" : "controlling terminal " + std::to_string(tty);
}

// Started as a service is (a session leader without a terminal) on a tty that the previous
// program left cooked at another speed: the far end sees 9600 8N1 raw while the exchange
// holds the port, and the port never becomes the program's controlling terminal.
void SessionLeaderOnACookedTty(Bench* bench) {
    const int fd = open(bench->device->slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios left{};
    ASSERT_EQ(tcgetattr(fd, &left), 0);
    left.c_cflag = (left.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    left.c_iflag |= IXON | IXOFF;
    left.c_lflag |= ICANON | ECHO | ISIG;
    left.c_oflag |= OPOST;
    ASSERT_EQ(cfsetspeed(&left, B38400), 0);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &left), 0);
    bench->options.sessionLeader = true;
    LookWhileHeld(
        bench, [fd](int pid) { return LineSettings(fd) + ", " + ControllingTerminal(pid); },
        "9600/9600 8N1, no controlling terminal");
    const auto check = bench->afterRun;
    bench->afterRun = [check, fd] {
        check();
        close(fd);
    };
}

// Started with standard input closed: the port does not take its place.
void ClosedInput(Bench* bench) {
    bench->options.inChild = [] { return close(STDIN_FILENO) == 0; };
    LookWhileHeld(
        bench,
        [](int pid) {
            std::error_code error;
            return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/0", error)
                .string();
        },
        "/dev/null");
}

// /run/lock is a folder that only root may write (in a mount namespace of the program's own):
// the exchange takes its lock file in /tmp, where every user's morva finds it.
void LockFolderOfRootOnly(Bench* bench) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to mount a folder over /run/lock";
    }
    struct stat tty {};
    ASSERT_EQ(stat(bench->device->slave_path().c_str(), &tty), 0);
    const std::string lock = "/tmp/morva-tty-" + std::to_string(major(tty.st_rdev)) + "-" +
                             std::to_string(minor(tty.st_rdev)) + ".lock";
    bench->options.inChild = [] {
        return unshare(CLONE_NEWNS) == 0 &&
               mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=0755") == 0;
    };
    LookWhileHeld(
        bench,
        [lock](int) -> std::string {
            const int fd = open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (fd >= 0) {
                close(fd);
            }
            return held ? "held in /tmp" : "not held in /tmp";
        },
        "held in /tmp");
}

// A hangup that the caller ignores (nohup) stays ignored: the update goes on.
void IgnoredHangupInTheFlashPass(Bench* bench) {
    bench->signal = SIGHUP;
    bench->options.inChild = [] { return signal(SIGHUP, SIG_IGN) != SIG_ERR; };
    SignalInTheFlashPass(bench);
}

void ClosedOutput(Bench* bench) {
    bench->options.output = e2e::Output::kClosed;
}

void ClosedInputAndOutput(Bench* bench) {
    bench->options.closedInputAndOutput = true;
}

// While the device takes the second line of the test pass, `change` rewrites the firmware file.
void AtTheSecondTestLine(Bench* bench, void (*change)(const std::string& firmware)) {
    bench->device->SetLogger([bench, change](const std::string& line) {
        if (line.find(" < ") != std::string::npos && bench->device->Commands().size() == 3) {
            change(bench->firmware);
        }
    });
}

void ReplaceFile(const std::string& path, const std::string& text) {
    e2e::WriteFile(path + ".new", text);
    std::filesystem::rename(path + ".new", path);
}

void CutShort(Bench* bench) {
    AtTheSecondTestLine(bench, [](const std::string& firmware) {
        e2e::WriteFile(firmware, kFirmware.substr(0, kFirmware.rfind("S9")));
    });
}

void ReplacedByInvalidFile(Bench* bench) {
    AtTheSecondTestLine(bench, [](const std::string& firmware) {
        ReplaceFile(firmware, "S00B00004B52543037515F5894\nS1050010AABB86\nS9030000FC\n");
    });
}

void ReplacedByOtherValidFile(Bench* bench) {
    AtTheSecondTestLine(bench, [](const std::string& firmware) {
        ReplaceFile(firmware, "S00B00004B52543037515F5894\nS1050012CCDD3F\nS9030000FC\n");
    });
}

// 300 data lines of 254 characters and an end record: more than one 64 KiB read. `pair` fills
// the data of line 280; a pair of bytes that adds up to 0x100 leaves the checksum as it is.
std::vector<std::string> LargeFirmwareLines(const std::string& pair) {
    std::string line = "S17D0010";
    for (int i = 0; i < 61; ++i) {
        line += "01FF";
    }
    std::vector<std::string> lines(300, line + "72");
    lines[279] = "S17D0010";
    for (int i = 0; i < 61; ++i) {
        lines[279] += pair;
    }
    lines[279] += "72";
    lines.emplace_back("S9030000FC");
    return lines;
}

std::string LargeFirmware(const std::string& pair) {
    std::string text;
    for (const std::string& line : LargeFirmwareLines(pair)) {
        text += line + "\n";
    }
    return text;
}

// Rewritten in place with another valid line 280, which the pass reads from its second block.
void LargeFileRewritten(Bench* bench) {
    e2e::WriteFile(bench->firmware, LargeFirmware("01FF"));
    AtTheSecondTestLine(bench, [](const std::string& firmware) {
        e2e::WriteFile(firmware, LargeFirmware("FF01"));
    });
}

// Cut after its 258th line: the pass reads whole lines to the end of the file, without the
// end record.
void LargeFileCutShort(Bench* bench) {
    e2e::WriteFile(bench->firmware, LargeFirmware("01FF"));
    AtTheSecondTestLine(bench, [](const std::string& firmware) {
        ASSERT_EQ(truncate(firmware.c_str(), 258 * 255), 0);
    });
}

// A valid line appended after the end record.
void LargeFileGrown(Bench* bench) {
    e2e::WriteFile(bench->firmware, LargeFirmware("01FF"));
    AtTheSecondTestLine(bench, [](const std::string& firmware) {
        std::ofstream(firmware, std::ios::app) << "S1050010AABB85\n";
    });
}

// The ports folder's com3 made a link to `target` (owned by `owner`), and given back to the
// device after the run. No lock file is made for what it leads to: nothing of it is touched.
void PortLinkTo(Bench* bench, const std::string& target, uid_t owner) {
    const std::string link = bench->ws->portsDir() + "/com3";
    const std::string device = bench->device->slave_path();
    struct stat node {};
    ASSERT_EQ(stat(target.c_str(), &node), 0);
    const std::string lock = MorvaLockPath(target);
    std::error_code ignored;
    std::filesystem::remove(lock, ignored);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), owner, owner), 0);
    bench->afterRun = [link, device, lock, owner] {
        EXPECT_TRUE(owner != 0 || !std::filesystem::exists(lock)) << lock;
        unlink(link.c_str());
        EXPECT_EQ(symlink(device.c_str(), link.c_str()), 0);
    };
}

void PortLinkToNull(Bench* bench) {
    PortLinkTo(bench, "/dev/null", geteuid());
}

void PortLinkToPtmx(Bench* bench) {
    PortLinkTo(bench, "/dev/ptmx", geteuid());
}

void PortLinkOfAnotherUser(Bench* bench) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to make a link of another user";
    }
    PortLinkTo(bench, bench->device->slave_path(), 4242);
}

// The port is one that user nobody may not open; nobody locks morva's lock file of it (which
// every user may open), or a file of its own in its place: that holds no one off.
void LockOfAStranger(Bench* bench, bool ownFile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to act as user nobody";
    }
    const std::string slave = bench->device->slave_path();
    ASSERT_EQ(chmod(slave.c_str(), 0600), 0);
    const std::string path = MorvaLockPath(slave);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    if (!ownFile) {
        ASSERT_EQ(bench->ws->Run({"-c", "3", "UTID"}).exitCode, 0);  // morva makes the file
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        constexpr uid_t kNobody = 65534;
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            _exit(1);
        }
        const int fd = open(path.c_str(), O_RDONLY | O_CREAT, 0644);
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    close(ready[1]);
    char taken = 0;
    ASSERT_EQ(read(ready[0], &taken, 1), 1) << "nobody could not take the lock";
    close(ready[0]);
    bench->afterRun = [holder, slave, path] {
        // The stranger's lock was not undone for root's sake by ending it early.
        EXPECT_EQ(kill(holder, 0), 0);
        e2e::EndProcess(holder);
        chmod(slave.c_str(), 0666);
        std::error_code gone;
        std::filesystem::remove(path, gone);
    };
}

void LockFileOfMorvaLockedByAStranger(Bench* bench) {
    LockOfAStranger(bench, false);
}

void OwnFileOfAStrangerLocked(Bench* bench) {
    LockOfAStranger(bench, true);
}

class BenchFaults : public ::testing::TestWithParam<BenchFault> {};

TEST_P(BenchFaults, LeaveTheDeviceAndThePortAsPromised) {
    const BenchFault& fault = GetParam();
    Workspace ws(fault.build);
    Bench bench;
    bench.ws = &ws;
    bench.device = &ws.AddDevice(3);
    bench.firmware = ws.root() + "/fw.mot";
    bench.signal = fault.signal;
    e2e::WriteFile(bench.firmware, kFirmware);
    fault.arrange(&bench);
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    std::vector<std::string> args = {"-c", "3"};
    for (const std::string& arg : fault.args) {
        args.push_back(arg == "fw" ? bench.firmware : arg);
    }
    const auto run = ws.Run(args, bench.options);
    EXPECT_EQ(run.output, fault.output);
    EXPECT_EQ(run.exitCode, fault.exitCode);
    EXPECT_EQ(run.signal, fault.signal);
    EXPECT_EQ(bench.device->Commands(), fault.received);
    if (bench.afterRun) {
        bench.afterRun();
    }
    bench.device->SetLogger(nullptr);
    EXPECT_FALSE(MarkedExclusive(bench.device->slave_path()));
    ExpectPortFree(ws, *bench.device);
}

const std::vector<std::string> kUpdate = {"UPDT", "-w", "fw"};

BenchFault Completed(const char* name, Build build, void (*arrange)(Bench*), std::string output) {
    return {name, build, arrange, kUpdate, 0, 0, std::move(output), kWholeUpdate};
}

// Ended by the signal at the second line of the flash pass, which the device received.
BenchFault Interrupted(const char* name, Build build, int signal) {
    return {name,
            build,
            SignalInTheFlashPass,
            kUpdate,
            -1,
            signal,
            kTestPassOutput + "\rUPDT Flash : 1 / 3\rUPDT Flash : 2 / 3",
            {kWholeUpdate.begin(), kWholeUpdate.begin() + 7}};
}

// The test pass sent the checked file whole; the flash pass does not begin.
BenchFault ChangedInTheTestPass(const char* name, Build build, void (*arrange)(Bench*)) {
    return {name,
            build,
            arrange,
            kUpdate,
            4,
            0,
            kTestPassOutput + "UPDT : invalid file\n ... Update failed\n",
            {kWholeUpdate.begin(), kWholeUpdate.begin() + 4}};
}

// The pass ends after the first `sent` lines of the file as `arrange` changes it (its line 280
// made of `pair`): what it read is not the checked file.
BenchFault LargeFileChangedInThePass(const char* name, Build build, void (*arrange)(Bench*),
                                     const std::string& pair, std::size_t sent) {
    const std::vector<std::string> lines = LargeFirmwareLines(pair);
    BenchFault fault = {name, build, arrange, {"UPDT", "fw"}, 4, 0, "", {"UPDT Test\r"}};
    for (std::size_t n = 1; n <= sent; ++n) {
        fault.output += "\rUPDT Test : " + std::to_string(n) + " / 301";
        fault.received.push_back(lines[n - 1] + "\r");
    }
    fault.output += "\nUPDT : invalid file\n ... test failed\n";
    return fault;
}

const BenchFault kBenchFaults[] = {
    Completed("Posix_ClosedOutputPipe", Build::kPosix, ClosedOutput, ""),
    Completed("Windows_ClosedOutputPipe", Build::kWindows, ClosedOutput, ""),
    Interrupted("Posix_Sigint", Build::kPosix, SIGINT),
    Interrupted("Posix_Sigterm", Build::kPosix, SIGTERM),
    Interrupted("Posix_Sighup", Build::kPosix, SIGHUP),
    Interrupted("Posix_Sigkill", Build::kPosix, SIGKILL),
    Interrupted("Windows_Sigkill", Build::kWindows, SIGKILL),
    Completed("Posix_OtherMorvaDuringTheUpdate", Build::kPosix, OtherMorvaDuringTheUpdate,
              kUpdateOutput),
    Completed("Windows_OtherMorvaDuringTheUpdate", Build::kWindows, OtherMorvaDuringTheUpdate,
              kUpdateOutput),
    {"Posix_MarkedExclusiveByAnotherProgram",
     Build::kPosix,
     MarkedByAnotherProgram,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_ControllingTerminalOfAnotherSession",
     Build::kPosix,
     ControllingTerminalOfAnotherSession,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_UucpLockOfALiveProcess",
     Build::kPosix,
     UucpLockAsText,
     kUpdate,
     3,
     0,
     " ... test failed\n",
     {}},
    {"Posix_UucpLockOfALiveProcessAsBinary",
     Build::kPosix,
     UucpLockAsBinary,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    Completed("Posix_UucpLockDuringTheUpdate", Build::kPosix, UucpLockDuringTheUpdate,
              kUpdateOutput),
    {"Posix_LinkAtTheUucpLockName",
     Build::kPosix,
     LinkAtTheUucpLockName,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_FifoAtTheUucpLockName",
     Build::kPosix,
     FifoAtTheUucpLockName,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_UucpLockOfALiveProcessByShortName",
     Build::kPosix,
     UucpLockByShortName,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_LockPathIsAFolder",
     Build::kPosix,
     LockPathIsAFolder,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_LockPathIsAFifo",
     Build::kPosix,
     LockPathIsAFifo,
     kUpdate,
     3,
     0,
     " ... test failed\n",
     {}},
    {"Posix_LockPathIsADanglingLink",
     Build::kPosix,
     LockPathIsADanglingLink,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_LockPathIsAFileOfAnotherUser",
     Build::kPosix,
     LockPathIsAFileOfAnotherUser,
     kUpdate,
     3,
     0,
     " ... test failed\n",
     {}},
    {"Posix_ManySessions",
     Build::kPosix,
     ManySessions,
     {"UTID"},
     0,
     0,
     "TARVEX-7310 V2.10\r\n",
     {"UTID\r"}},
    {"Posix_ControllingTerminalAmongManySessions",
     Build::kPosix,
     ControllingTerminalAmongManySessions,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_UucpLockOfAnotherUsersProcess",
     Build::kPosix,
     UucpLockOfAnotherUser,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_ClosedInputAndOutput",
     Build::kPosix,
     ClosedInputAndOutput,
     {"-v", "UTID"},
     0,
     0,
     "",
     {"UTID\r"}},
    ChangedInTheTestPass("Posix_FileCutShort", Build::kPosix, CutShort),
    ChangedInTheTestPass("Windows_FileCutShort", Build::kWindows, CutShort),
    ChangedInTheTestPass("Posix_ReplacedByInvalidFile", Build::kPosix, ReplacedByInvalidFile),
    ChangedInTheTestPass("Windows_ReplacedByInvalidFile", Build::kWindows, ReplacedByInvalidFile),
    ChangedInTheTestPass("Posix_ReplacedByOtherValidFile", Build::kPosix, ReplacedByOtherValidFile),
    ChangedInTheTestPass("Windows_ReplacedByOtherValidFile", Build::kWindows,
                         ReplacedByOtherValidFile),
    // Stopped before the end record.
    LargeFileChangedInThePass("Posix_LargeFileRewrittenInThePass", Build::kPosix,
                              LargeFileRewritten, "FF01", 300),
    LargeFileChangedInThePass("Windows_LargeFileRewrittenInThePass", Build::kWindows,
                              LargeFileRewritten, "FF01", 300),
    LargeFileChangedInThePass("Posix_LargeFileCutShortInThePass", Build::kPosix, LargeFileCutShort,
                              "01FF", 258),
    LargeFileChangedInThePass("Posix_LargeFileGrownInThePass", Build::kPosix, LargeFileGrown,
                              "01FF", 301),
    Completed("Posix_IgnoredSighup", Build::kPosix, IgnoredHangupInTheFlashPass, kUpdateOutput),
    Completed("Posix_MarkedExclusiveForAMoment", Build::kPosix, MarkedExclusiveForAMoment,
              kUpdateOutput),
    {"Posix_SessionLeaderOnACookedTty",
     Build::kPosix,
     SessionLeaderOnACookedTty,
     {"UTID"},
     0,
     0,
     "TARVEX-7310 V2.10\r\n",
     {"UTID\r"}},
    {"Posix_ClosedInput",
     Build::kPosix,
     ClosedInput,
     {"UTID"},
     0,
     0,
     "TARVEX-7310 V2.10\r\n",
     {"UTID\r"}},
    {"Posix_PortsFolderLinkToDevNull",
     Build::kPosix,
     PortLinkToNull,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_PortsFolderLinkToPtmx",
     Build::kPosix,
     PortLinkToPtmx,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_PortsFolderLinkOfAnotherUser",
     Build::kPosix,
     PortLinkOfAnotherUser,
     {"UTID"},
     3,
     0,
     "Cannot open COM3\n",
     {}},
    {"Posix_LockFileLockedByAStranger",
     Build::kPosix,
     LockFileOfMorvaLockedByAStranger,
     kUpdate,
     0,
     0,
     kUpdateOutput,
     {"UTID\r", "UPDT Test\r", "S00B00004B52543037515F5894\r", "S1050010AABB85\r", "S9030000FC\r",
      "UPDT Flash\r", "S00B00004B52543037515F5894\r", "S1050010AABB85\r", "S9030000FC\r"}},
    {"Posix_FileOfAStrangerAtTheLockName",
     Build::kPosix,
     OwnFileOfAStrangerLocked,
     {"UTID"},
     0,
     0,
     "TARVEX-7310 V2.10\r\n",
     {"UTID\r"}},
    {"Posix_LockFolderOfRootOnly",
     Build::kPosix,
     LockFolderOfRootOnly,
     {"UTID"},
     0,
     0,
     "TARVEX-7310 V2.10\r\n",
     {"UTID\r"}},
};

INSTANTIATE_TEST_SUITE_P(Bench, BenchFaults, ::testing::ValuesIn(kBenchFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// A settings entry that is no regular file is read as one that cannot be read, at once: no
// port (the read's default) and a store that writes nothing.
struct UnreadableSettings {
    const char* name;
    void (*make)(const std::string& path);
    std::filesystem::file_type type;  // of the entry itself, before and after
};

void PrintTo(const UnreadableSettings& c, std::ostream* os) {
    *os << c.name;
}

class SettingsFaults : public ::testing::TestWithParam<std::tuple<Build, UnreadableSettings>> {};

TEST_P(SettingsFaults, NoPortAndNothingWritten) {
    const auto& [build, c] = GetParam();
    Workspace ws(build);
    auto& device = ws.AddDevice(3);
    c.make(ws.settingsPath());
    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"UTID"}, "Illegal format : morva.ini\n"},
        {{"UPDT", "fw.mot"}, "morva.ini : Illegal format\n"},
        {{"SCOM"}, "SCOM : morva.ini illegal format\n"},
    };
    for (const auto& [args, output] : runs) {
        const auto run = ws.Run(args);
        EXPECT_EQ(run.output, output);
        EXPECT_EQ(run.exitCode, 1);
        e2e::ExpectNoHang(run);
    }
    const auto store = ws.Run({"SCOM", "4"});
    EXPECT_EQ(store.output, "");
    EXPECT_EQ(store.exitCode, 0);
    e2e::ExpectNoHang(store);
    EXPECT_EQ(std::filesystem::symlink_status(ws.settingsPath()).type(), c.type);
    EXPECT_TRUE(device.Commands().empty());
}

void MakeFolder(const std::string& path) {
    std::filesystem::create_directory(path);
}

const UnreadableSettings kOnBothBuilds[] = {
    {"Folder", MakeFolder, std::filesystem::file_type::directory},
};

// Wine's own open of a FIFO waits for a writer: these are for the Linux build.
const UnreadableSettings kOnPosix[] = {
    {"Fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); },
     std::filesystem::file_type::fifo},
    {"LinkToDevZero",
     [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); },
     std::filesystem::file_type::symlink},
    {"LinkToDevUrandom",
     [](const std::string& path) { std::filesystem::create_symlink("/dev/urandom", path); },
     std::filesystem::file_type::symlink},
};

std::string SettingsFaultName(
    const ::testing::TestParamInfo<std::tuple<Build, UnreadableSettings>>& info) {
    return e2e::BuildName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Builds, SettingsFaults,
                         ::testing::Combine(::testing::Values(Build::kPosix, Build::kWindows),
                                            ::testing::ValuesIn(kOnBothBuilds)),
                         SettingsFaultName);
INSTANTIATE_TEST_SUITE_P(Posix, SettingsFaults,
                         ::testing::Combine(::testing::Values(Build::kPosix),
                                            ::testing::ValuesIn(kOnPosix)),
                         SettingsFaultName);

}  // namespace

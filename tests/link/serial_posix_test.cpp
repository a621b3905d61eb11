// The Linux serial side on a pseudo-terminal: writes that find the output queue full wait for
// room instead of losing the rest of the command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "captured_output.h"
#include "common/verbose.h"
#include "link/serial_port.h"
#include "link/tty_use_posix.h"

namespace {

TEST(SerialPosix, WriteWaitsForRoomAndSendsEveryByte) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    ASSERT_EQ(fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK), 0);

    // Fill the queue towards the reader until the system takes no more, also after the
    // pseudo-terminal has moved what it buffered internally.
    const std::string filler(4096, 'f');
    std::size_t queued = 0;
    for (int settled = 0; settled < 3;) {
        const ssize_t n = write(slave, filler.data(), filler.size());
        if (n > 0) {
            queued += static_cast<std::size_t>(n);
            settled = 0;
            continue;
        }
        ++settled;
        usleep(50000);
    }
    ASSERT_GT(queued, 0U);
    ASSERT_EQ(write(slave, "x", 1), -1) << "the queue must be full before the test write";

    const std::string command = std::string(256, 'C') + "\r";
    std::string received;
    std::thread reader([&] {
        usleep(100000);
        char buffer[4096];
        while (received.size() < queued + command.size()) {
            pollfd readable{master, POLLIN, 0};
            if (poll(&readable, 1, 1000) <= 0) {
                break;  // nothing more is coming
            }
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    morva::CommPort port;
    port.handle = slave;
    const int written = morva::SerialWrite(&port, command.data(), static_cast<int>(command.size()));
    reader.join();
    EXPECT_EQ(written, 1);
    ASSERT_EQ(received.size(), queued + command.size());
    EXPECT_EQ(received.substr(queued), command);
    close(slave);
    close(master);
}

// Which ttys count as consoles, asked in a child of namespaces of its own: a machine whose
// console is tty1, with no process on a terminal and no lock files. 1 in use, 0 free, 2 when
// the child could not be set up (needs root).
int InUseOnAMachineWithItsConsoleOnTty1(dev_t device) {
    char list[] = "/tmp/morva-consoles-XXXXXX";
    const int fd = mkstemp(list);
    const std::string consoles = "tty1                 -WU (EC p  )    4:1\n";
    if (fd < 0 ||
        write(fd, consoles.data(), consoles.size()) != static_cast<ssize_t>(consoles.size())) {
        return 2;
    }
    close(fd);
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) {
            _exit(2);
        }
        const pid_t inner = fork();
        if (inner == 0) {
            if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", 0, nullptr) != 0 ||
                mount(list, "/proc/consoles", nullptr, MS_BIND, nullptr) != 0 ||
                mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=1777") != 0) {
                _exit(2);
            }
            _exit(morva::TtyInUse(device) ? 1 : 0);
        }
        int status = 0;
        _exit(inner > 0 && waitpid(inner, &status, 0) == inner && WIFEXITED(status)
                  ? WEXITSTATUS(status)
                  : 2);
    }
    int status = 0;
    const bool ended = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
    unlink(list);
    return ended ? WEXITSTATUS(status) : 2;
}

struct ConsoleCase {
    const char* name;
    unsigned int major;
    unsigned int minor;
    int inUse;
};

void PrintTo(const ConsoleCase& c, std::ostream* os) {
    *os << c.name;
}

class Consoles : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(Consoles, AreTheVirtualOnesAndTheListedOnes) {
    const ConsoleCase& c = GetParam();
    const int inUse = InUseOnAMachineWithItsConsoleOnTty1(makedev(c.major, c.minor));
    if (inUse == 2) {
        GTEST_SKIP() << "needs root, to make mount and process namespaces";
    }
    EXPECT_EQ(inUse, c.inUse);
}

// The serial ports ttyS0 on share the virtual consoles' major, from minor 64 on.
const ConsoleCase kConsoles[] = {
    {"Tty0", 4, 0, 1},   {"Tty63", 4, 63, 1},     {"TtyS0", 4, 64, 0},
    {"TtyS1", 4, 65, 0}, {"DevConsole", 5, 1, 1}, {"DevTty", 5, 0, 1},
};

INSTANTIATE_TEST_SUITE_P(TtyInUse, Consoles, ::testing::ValuesIn(kConsoles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// At verbose level 3 and above a failed call names itself and errno; below, nothing.
struct FailureLine {
    const char* name;
    int level;
    std::string printed;
};

void PrintTo(const FailureLine& c, std::ostream* os) {
    *os << c.name;
}

class SerialPosixFailureLines : public ::testing::TestWithParam<FailureLine> {};

TEST_P(SerialPosixFailureLines, ReadOfAHungUpTty) {
    const FailureLine& c = GetParam();
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    close(master);  // the far end is gone: the slave reads EIO
    morva::CommPort port;
    port.handle = slave;
    morva::SetVerboseLevel(c.level);
    char buffer[8];
    int got = 0;
    morva::test::CapturedOutput output;
    EXPECT_EQ(morva::SerialRead(&port, buffer, 4, &got), 0);
    EXPECT_EQ(output.Take(), c.printed);
    morva::SetVerboseLevel(0);
    close(slave);
}

INSTANTIATE_TEST_SUITE_P(Levels, SerialPosixFailureLines,
                         ::testing::Values(FailureLine{"Level2", 2, ""},
                                           FailureLine{"Level3", 3,
                                                       "read() failure : 0 of 4 bytes\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

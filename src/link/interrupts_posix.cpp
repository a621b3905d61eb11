// The release of an interrupted exchange's port.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "link/serial_posix_shared.h"
#include "record/run_record.h"

namespace morva {

volatile std::sig_atomic_t g_openFd = -1;
volatile std::sig_atomic_t g_marked = 0;

namespace {

// Releases the port of an interrupted exchange (async-signal-safe calls only), appends the run
// record prepared for an interrupted update, then ends the process by the signal as its
// default action would.
void ReleaseOnSignal(int signal) {
    const int fd = g_openFd;
    if (fd >= 0) {
        if (g_marked != 0) {
            ioctl(fd, TIOCNXCL);
        }
        close(fd);
    }
    WriteInterruptedRecord();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signal);
    static_cast<void>(raise(signal));
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
}

}  // namespace

// A signal that the caller ignores (nohup) stays ignored.
void CatchInterrupts() {
    static bool caught = false;
    if (caught) {
        return;
    }
    caught = true;
    constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction release {};
    release.sa_handler = ReleaseOnSignal;
    sigemptyset(&release.sa_mask);
    for (const int signal : kInterrupts) {
        sigaddset(&release.sa_mask, signal);
    }
    for (const int signal : kInterrupts) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaction(signal, &release, nullptr);
        }
    }
}

}  // namespace morva

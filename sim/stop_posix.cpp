#include <signal.h>

#include "stop.h"

namespace tarvexsim {

namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

void CatchStop() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForStop() {
    const sigset_t signals = StopSignals();
    int sig = 0;
    sigwait(&signals, &sig);
}

}  // namespace tarvexsim

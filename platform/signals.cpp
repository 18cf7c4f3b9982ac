#include "platform/signals.h"

#include <pthread.h>

#include <csignal>

namespace dialo {

sigset_t holdStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

int waitForStopSignal(const sigset_t& signals) {
    int sig = 0;
    sigwait(&signals, &sig);
    return sig;
}

}  // namespace dialo

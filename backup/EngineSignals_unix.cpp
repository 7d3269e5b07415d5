#include "EngineSignals.h"

#include <csignal>
#include <initializer_list>

namespace zdb {

namespace {

volatile std::sig_atomic_t arrived = 0;

void onSignal(int) { arrived = 1; }

} // namespace

void catchEndingSignals()
{
    struct sigaction act {};
    act.sa_handler = onSignal;
    sigemptyset(&act.sa_mask);
    // No SA_RESTART: a call the signal interrupts is not simply made again.
    // The service does not wait on it anyway: the watchdog starts it.
    act.sa_flags = 0;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &act, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

bool endingSignalArrived() { return arrived != 0; }

} // namespace zdb

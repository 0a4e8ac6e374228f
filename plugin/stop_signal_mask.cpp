#include "plugin/stop_signal_mask.h"

#include <initializer_list>
#include <pthread.h>

namespace ox::plugin {

sigset_t stopSignalSet() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, sig);
    return set;
}

void blockStopSignals() noexcept {
    sigset_t const stops = stopSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

} // namespace ox::plugin

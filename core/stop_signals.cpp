#include "core/stop_signals.h"
#include "plugin/stop_signal_mask.h"

#include <cerrno>
#include <initializer_list>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace ox::core {

void StopSignals::prepareProcess() noexcept {
    ox::plugin::blockStopSignals();
    // SIGXFSZ ignored turns a file size limit into EFBIG, which the writer reports.
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ, SIGPIPE}) std::signal(sig, SIG_IGN);
}

StopSignals& StopSignals::process() {
    static StopSignals* const signals = new StopSignals; // never destroyed: its thread runs to the end
    return *signals;
}

bool StopSignals::start() {
    std::lock_guard lock(mutex_);
    if (started_) return true;
    try {
        std::thread([this] { run(); }).detach();
    } catch (std::system_error const& e) {
        errno = e.code().value();
        return false;
    }
    started_ = true;
    return true;
}

void StopSignals::setReceiver(std::function<void()> receiver) {
    std::lock_guard lock(mutex_);
    receiver_ = std::move(receiver);
    delivered_ = false;
}

void StopSignals::run() {
    sigset_t const stops = ox::plugin::stopSignalSet();
    for (;;) {
        int sig = 0;
        if (::sigwait(&stops, &sig) != 0) continue;
        std::lock_guard lock(mutex_);
        if (delivered_ || !receiver_) continue;
        delivered_ = true;
        receiver_();
    }
}

} // namespace ox::core

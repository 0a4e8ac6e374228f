#include "core/io_service.h"

#include "log/log.h"

#include <cerrno>
#include <exception>
#include <system_error>

namespace ox::core {

IoService::~IoService() {
    if (thread_.joinable()) end(false);
}

bool IoService::start() {
    work_.emplace(io_.get_executor());
    try {
        thread_ = std::jthread([this](std::stop_token st) { body(st); });
    } catch (std::system_error const& e) {
        work_.reset();
        errno = e.code().value();
        return false;
    }
    return true;
}

void IoService::end(bool mayBeInsidePlugin) {
    work_.reset();
    io_.stop();
    if (!thread_.joinable()) return;
    if (mayBeInsidePlugin)
        thread_.detach();
    else
        thread_ = std::jthread(); // requests stop and joins
}

void IoService::body(std::stop_token const& st) {
    while (!st.stop_requested() && !io_.stopped()) {
        try {
            io_.run();
        } catch (std::exception const& e) {
            // A handler failed: report it and keep serving the others.
            logSev<kLogCritical>("I/O thread: {}", e.what());
        }
    }
}

} // namespace ox::core

// The I/O service and its thread: the parent channel's reads and writes and
// the memory checks run there.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <optional>
#include <thread>

namespace ox::core {

/// Started and ended by the main thread. Handlers that throw are logged and
/// the service goes on.
class IoService {
public:
    IoService() = default;
    IoService(IoService const&) = delete;
    IoService& operator=(IoService const&) = delete;
    /// Ends a service that was started and never ended (a core that did not run).
    ~IoService();

    boost::asio::io_context& context() noexcept { return io_; }
    /// Starts the thread; it has work once something is posted. False (errno
    /// set) when the thread cannot be created.
    bool start();
    /// Ends the service. When a handler may be inside a plugin that never
    /// returns, the thread is not joined: the process ends without it.
    void end(bool mayBeInsidePlugin);

private:
    void body(std::stop_token const& st);

    boost::asio::io_context io_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_; ///< main thread
    std::jthread thread_; ///< main thread starts, joins or detaches it
};

} // namespace ox::core

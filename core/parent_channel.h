// The channel to the parent daemon over the inherited socket.
#pragma once

#include "core/ipc_reader.h"
#include "dvrcore/event_parms.h"

#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <string>
#include <string_view>
#include <utility>

/// Parent-channel counters for the status summary. Statistics only: relaxed
/// atomic increments from any thread (requests on posting threads, results on
/// the I/O thread).
struct IpcCounters {
    std::atomic<uint32_t> requestsRelayed{0};  ///< successful ipcRequest calls
    std::atomic<uint32_t> resultsDelivered{0}; ///< results handed to a plugin
    std::atomic<uint32_t> resultBytes{0};      ///< bytes of delivered results, headers included
};

namespace ox::core {

/// Plugins' requests go out unchanged, one write at a time; packets coming in
/// are the parent's identity, a stop, or results for the plugin they name.
///
/// Threads: the socket, the send queue and the reader belong to the I/O thread
/// (and to open, before that thread starts); request may be called from any
/// thread and hands its packet to the I/O thread; the identity is written on
/// the I/O thread under identityMutex_ and read from any thread.
class ParentChannel {
public:
    /// What the channel asks of the core, on the I/O thread.
    struct Hooks {
        std::function<void()> stop;                                   ///< a stop packet, or the parent went away
        std::function<bool(std::string_view packet, uint32_t routing)> result; ///< true when a plugin took it
    };

    ParentChannel(boost::asio::io_context& io, Hooks hooks);
    ParentChannel(ParentChannel const&) = delete;
    ParentChannel& operator=(ParentChannel const&) = delete;
    ~ParentChannel();

    /// Takes the inherited descriptor; false unless it is a connected AF_UNIX stream socket.
    bool open(int fd);
    /// Treats the channel as disconnected when its descriptor no longer refers
    /// to the socket it was opened on; I/O thread (the memory timer).
    void checkDescriptor();
    /// Starts reading; I/O thread. Without a parent there is nothing to read.
    void startReading();
    /// Relays a plugin's request packet to the parent; 0 queued, 1 refused.
    int request(EventParms const& e);
    /// Completion of a read; I/O thread.
    void readComplete(boost::system::error_code const& ec, unsigned bytes);

    IpcCounters& counters() noexcept { return counters_; }
    /// File name and version from the parent's last identity packet.
    std::pair<std::string, std::string> identity() const;
    /// The parent runs the core in the background: nothing goes to the console.
    bool background() const noexcept { return background_.load(); }

private:
    struct FreeDeleter {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    /// A copy of a request for the parent, from its post to the end of its write.
    using RequestBuffer = std::unique_ptr<char, FreeDeleter>;

    void packet(std::string_view packet);
    /// True while the descriptor is still the socket taken at open; otherwise disconnects.
    bool stillOurs();
    /// Logs the disconnect, gives up the socket and stops the core.
    void disconnect(bool closeDescriptor);
    void send();
    /// Reserves room for a request in the send queue; false (logged once) when full.
    bool reserveSend(uint32_t length);
    /// Gives back what reserveSend took; I/O thread, or the poster on failure.
    void releaseSend(uint32_t length);

    boost::asio::io_context& io_;
    Hooks hooks_;
    boost::asio::generic::stream_protocol::socket socket_; ///< I/O thread
    std::deque<std::pair<RequestBuffer, uint32_t>> sendQueue_; ///< requests for the parent, in order; I/O thread
    /// socket_ holds a descriptor; written on the I/O thread (and open), read by posting threads
    std::atomic<bool> open_{false};
    dev_t device_ = 0; ///< identity of the socket taken at open; set before the I/O thread runs
    ino_t inode_ = 0;
    ox::ipc::IpcReader reader_; ///< receive buffer and fill; I/O thread
    IpcCounters counters_;      ///< relaxed atomics, any thread
    mutable std::mutex identityMutex_;
    std::string parentFile_, parentVersion_; ///< under identityMutex_
    std::atomic<bool> background_{false};    ///< set by the identity packet; read by the console echo
    /// Bytes and entries of the send queue, reserved by posting threads before
    /// they post and released on the I/O thread when the entry is written.
    std::atomic<uint32_t> sendQueuedBytes_{0}, sendQueuedEntries_{0};
    std::atomic<bool> sendQueueFull_{false}; ///< between the first refusal and the drain; any thread
    std::atomic<uint32_t> sendRefused_{0};   ///< refusals since the queue filled; any thread
};

} // namespace ox::core

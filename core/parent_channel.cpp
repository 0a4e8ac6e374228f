// The channel to the parent daemon over the inherited socket: plugin requests
// go out unchanged, one write at a time; packets coming in are the parent's
// identity, a stop, or results handed to the plugin they name.
#include "core/parent_channel.h"

#include "core/size_text.h"
#include "log/log.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

// Bounds of the requests waiting for the parent. Requests are small control
// packets that the parent reads at once; these are only reached when it has
// stopped reading. 16 MiB is 256 packets of the largest size and under a
// tenth of the smallest machine's throttling limit; 4096 entries bound the
// per-entry overhead of a flood of tiny packets.
constexpr uint32_t kSendQueueMaxBytes = 16u << 20;
constexpr uint32_t kSendQueueMaxEntries = 4096;

/// Adds `amount` to `counter` unless that would pass `limit`.
bool reserve(std::atomic<uint32_t>& counter, uint32_t amount, uint32_t limit) {
    uint32_t now = counter.load(std::memory_order_relaxed);
    do {
        if (amount > limit - now) return false;
    } while (!counter.compare_exchange_weak(now, now + amount, std::memory_order_relaxed));
    return true;
}

} // namespace

namespace ox::core {

ParentChannel::ParentChannel(boost::asio::io_context& io, Hooks hooks)
    : io_(io), hooks_(std::move(hooks)), socket_(io) {}

ParentChannel::~ParentChannel() = default;

bool ParentChannel::open(int fd) {
    // Only a connected UNIX stream socket leads to a parent. Anything else
    // (a file, a pipe, a listening or datagram socket) would read as an
    // immediate disconnect, and the core would exit 0 as if stopped.
    int domain = 0, type = 0, listening = 0;
    socklen_t len = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || domain != AF_UNIX) return false;
    len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
    len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening != 0) return false;
    sockaddr_storage peer{};
    len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    boost::system::error_code ec;
    socket_.assign(boost::asio::generic::stream_protocol(AF_UNIX, 0), fd, ec);
    if (ec) return false;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    open_.store(true);
    return true;
}

bool ParentChannel::stillOurs() {
    if (!socket_.is_open()) return false;
    struct stat st {};
    if (::fstat(socket_.native_handle(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) return true;
    // A plugin closed the descriptor, or put another file under its number:
    // a pending read would never complete and writes would go elsewhere.
    logSev<kLogWarning>("descriptor {} of the parent channel no longer refers to its socket",
                        socket_.native_handle());
    disconnect(false);
    return false;
}

void ParentChannel::checkDescriptor() { stillOurs(); }

void ParentChannel::disconnect(bool closeDescriptor) {
    logSev<kLogCritical>("orveld ipc pipe disconnected");
    open_.store(false);
    boost::system::error_code ignored;
    if (closeDescriptor) {
        socket_.close(ignored);
    } else {
        // The number is no longer the channel's: give it up without closing
        // what now lives under it. Pending work ends as aborted.
        socket_.release(ignored);
    }
    hooks_.stop();
}

bool ParentChannel::reserveSend(uint32_t length) {
    if (reserve(sendQueuedEntries_, 1, kSendQueueMaxEntries)) {
        if (reserve(sendQueuedBytes_, length, kSendQueueMaxBytes)) return true;
        sendQueuedEntries_.fetch_sub(1, std::memory_order_relaxed);
    }
    sendRefused_.fetch_add(1, std::memory_order_relaxed);
    if (!sendQueueFull_.exchange(true))
        logSev<kLogWarning>("parent send queue full ({:L} requests, {}): requests refused until orveld reads again",
                            sendQueuedEntries_.load(std::memory_order_relaxed),
                            sizeText(sendQueuedBytes_.load(std::memory_order_relaxed)));
    return false;
}

void ParentChannel::releaseSend(uint32_t length) {
    sendQueuedBytes_.fetch_sub(length, std::memory_order_relaxed);
    sendQueuedEntries_.fetch_sub(1, std::memory_order_relaxed);
}

int ParentChannel::request(EventParms const& e) {
    if (!open_.load()) return 1;
    // The payload is the complete packet. One whose header does not announce
    // exactly its own size would shift the parent's framing for every later
    // request of every plugin, so it is refused rather than relayed.
    if (!e.data || e.dataLen < ox::ipc::kHeaderSize || e.dataLen > ox::ipc::kMaxPacket) return 1;
    if (ox::ipc::headerOf({e.data, e.dataLen}).length != e.dataLen) return 1;

    uint32_t const length = e.dataLen;
    // Reserved before the copy, so the bound holds however many threads post.
    if (!reserveSend(length)) return 1;
    RequestBuffer buffer(static_cast<char*>(std::malloc(length)));
    if (!buffer) {
        releaseSend(length);
        return 1;
    }
    std::memcpy(buffer.get(), e.data, length);
    try {
        boost::asio::post(io_, [this, buffer = std::move(buffer), length]() mutable {
            if (!socket_.is_open()) { // disconnected meanwhile: nobody to write to
                releaseSend(length);
                return;
            }
            sendQueue_.emplace_back(std::move(buffer), length);
            if (sendQueue_.size() == 1) send(); // otherwise the write under way reaches it
        });
    } catch (...) {
        releaseSend(length); // the job was never queued
        throw;
    }
    counters_.requestsRelayed.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void ParentChannel::send() {
    if (sendQueue_.empty() || !stillOurs()) return;
    char const* const buffer = sendQueue_.front().first.get();
    uint32_t const length = sendQueue_.front().second;
    boost::asio::async_write(socket_, boost::asio::buffer(buffer, length),
                             [this, length](boost::system::error_code const&, std::size_t) {
                                 // Write errors are silent: the entry is dropped, the next one goes.
                                 sendQueue_.pop_front();
                                 releaseSend(length);
                                 if (sendQueue_.empty() && sendQueueFull_.exchange(false))
                                     logSev<kLogWarning>("parent send queue drained; {:L} requests were refused",
                                                         sendRefused_.exchange(0));
                                 send();
                             });
}

void ParentChannel::startReading() {
    // Without a parent there is nothing to read and no disconnect to report.
    if (!socket_.is_open()) return;
    auto space = reader_.space();
    socket_.async_read_some(boost::asio::buffer(space.data(), space.size()),
                         [this](boost::system::error_code const& ec, std::size_t bytes) {
                             readComplete(ec, static_cast<unsigned>(bytes));
                         });
}

void ParentChannel::readComplete(boost::system::error_code const& ec, unsigned bytes) {
    if (!socket_.is_open()) return; // the read given up by a disconnect found elsewhere
    if (ec || bytes == 0) {
        disconnect(true);
        return;
    }
    try {
        if (reader_.consume(bytes, [this](std::string_view p) { packet(p); }) == ox::ipc::IpcReader::Status::BadLength)
            logSev<kLogNotice>("bad ipc packet length");
    } catch (std::exception const& e) {
        // Whatever failed on the way to a plugin, the next read is posted:
        // without it the stop packet and the disconnect are never seen.
        logSev<kLogWarning>("parent packet not handled: {}", e.what());
    }
    startReading();
}

void ParentChannel::packet(std::string_view packet) {
    ox_IpcHeader const header = ox::ipc::headerOf(packet);
    switch (header.type) {
    case ox::ipc::kTypeIdentity: {
        auto const ids = ox::ipc::splitIdentity(packet.substr(ox::ipc::kHeaderSize));
        if (ids.count == 0) return;
        {
            std::lock_guard lock(identityMutex_);
            parentFile_.assign(ids.text[0]);
            if (ids.count >= 2) parentVersion_.assign(ids.text[1]);
        }
        if (ids.count >= 3 && ids.text[2] == ox::ipc::kBackgroundOption) background_.store(true);
        return;
    }
    case ox::ipc::kTypeStop:
        hooks_.stop();
        return;
    default:
        // A result nobody asked for is dropped without a message.
        if (hooks_.result(packet, header.routing)) {
            counters_.resultsDelivered.fetch_add(1, std::memory_order_relaxed);
            counters_.resultBytes.fetch_add(static_cast<uint32_t>(packet.size()), std::memory_order_relaxed);
        }
        return;
    }
}

std::pair<std::string, std::string> ParentChannel::identity() const {
    std::lock_guard lock(identityMutex_);
    return {parentFile_, parentVersion_};
}

} // namespace ox::core

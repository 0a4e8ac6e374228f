// The channel to the parent daemon over the inherited socket: plugin requests
// go out unchanged, one write at a time; packets coming in are the parent's
// identity, a stop, or results handed to the plugin they name.
#include "core/dvr_core.h"

#include "log/log.h"
#include "plugin/plugin.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
};
/// A request buffer on its way to the send queue; freed if the job never runs.
using RequestBuffer = std::unique_ptr<char, FreeDeleter>;

} // namespace

int DvrCore::ipcRequest(ox::core::EventParms const& e) {
    if (!ipcOpen_.load()) return 1;
    // The payload is the complete packet. One whose header does not announce
    // exactly its own size would shift the parent's framing for every later
    // request of every plugin, so it is refused rather than relayed.
    if (!e.data || e.dataLen < ox::ipc::kHeaderSize || e.dataLen > ox::ipc::kMaxPacket) return 1;
    if (ox::ipc::headerOf({e.data, e.dataLen}).length != e.dataLen) return 1;

    RequestBuffer buffer(static_cast<char*>(std::malloc(e.dataLen)));
    if (!buffer) return 1;
    std::memcpy(buffer.get(), e.data, e.dataLen);
    uint32_t const length = e.dataLen;
    boost::asio::post(io_, [this, buffer = std::move(buffer), length]() mutable {
        if (!ipc_.is_open()) return; // disconnected meanwhile: nobody to write to
        sendQueue_.emplace_back(buffer.release(), length);
        if (sendQueue_.size() == 1) ipcSend(); // otherwise the write under way reaches it
    });
    ipcCounters_.requestsRelayed.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void DvrCore::ipcSend() {
    if (sendQueue_.empty() || !ipc_.is_open()) return;
    auto const [buffer, length] = sendQueue_.front();
    boost::asio::async_write(ipc_, boost::asio::buffer(buffer, length),
                             [this](boost::system::error_code const&, std::size_t) {
                                 // Write errors are silent: the entry is dropped, the next one goes.
                                 std::free(sendQueue_.front().first);
                                 sendQueue_.pop_front();
                                 ipcSend();
                             });
}

void DvrCore::ipcPostRead() {
    // Without a parent there is nothing to read and no disconnect to report.
    if (!ipc_.is_open()) return;
    auto space = ipcReader_.space();
    ipc_.async_read_some(boost::asio::buffer(space.data(), space.size()),
                         [this](boost::system::error_code const& ec, std::size_t bytes) {
                             ipcReadComplete(ec, static_cast<unsigned>(bytes));
                         });
}

void DvrCore::ipcReadComplete(boost::system::error_code const& ec, unsigned bytes) {
    if (ec || bytes == 0) {
        logSev<kLogCritical>("orveld ipc pipe disconnected");
        ipcOpen_.store(false);
        boost::system::error_code ignored;
        ipc_.close(ignored);
        Stop();
        return;
    }
    if (ipcReader_.consume(bytes, [this](std::string_view packet) { ipcPacket(packet); }) ==
        ox::ipc::IpcReader::Status::BadLength)
        logSev<kLogNotice>("bad ipc packet length");
    ipcPostRead();
}

void DvrCore::ipcPacket(std::string_view packet) {
    ox_IpcHeader const header = ox::ipc::headerOf(packet);
    switch (header.type) {
    case ox::ipc::kTypeIdentity: {
        auto const ids = ox::ipc::splitIdentity(packet.substr(ox::ipc::kHeaderSize));
        if (ids.count == 0) return;
        {
            std::lock_guard lock(parentMutex_);
            parentFile_.assign(ids.text[0]);
            if (ids.count >= 2) parentVersion_.assign(ids.text[1]);
        }
        if (ids.count >= 3 && ids.text[2] == ox::ipc::kBackgroundOption) background_.store(true);
        return;
    }
    case ox::ipc::kTypeStop:
        Stop();
        return;
    default:
        ipcResult(packet, header.routing);
        return;
    }
}

void DvrCore::ipcResult(std::string_view packet, uint32_t routing) {
    std::shared_ptr<Plugin> target;
    {
        std::shared_lock lock(pluginsMutex_);
        for (auto const& p : plugins_) {
            if (p->address() != OX_CORE_ADDRESS && p->pluginId() == ox_ipcPluginIdOf(routing)) {
                target = p;
                break;
            }
        }
    }
    if (!target) return; // nobody asked: dropped without a message
    target->OnIpcResult(packet);
    ipcCounters_.resultsDelivered.fetch_add(1, std::memory_order_relaxed);
    ipcCounters_.resultBytes.fetch_add(static_cast<uint32_t>(packet.size()), std::memory_order_relaxed);
}

std::pair<std::string, std::string> DvrCore::parentIdentity() const {
    std::lock_guard lock(parentMutex_);
    return {parentFile_, parentVersion_};
}

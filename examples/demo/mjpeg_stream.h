// One multipart/x-mixed-replace stream of JPEG pictures to one viewer, as an
// <img> shows it. The pictures are sent straight from the core's payloads
// (the frames we keep by reference), never copied. A stream holds the frame
// it is writing and, while that write lasts, only a pointer to the newest
// one: a viewer that stops reading costs one frame, and is dropped once a
// write has waited kWriteTimeout. Web server thread only.
#pragma once

#include "kept_frame.h"

// Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>

#include <chrono>
#include <functional>
#include <string>

namespace demo {

class MjpegStream : public std::enable_shared_from_this<MjpegStream> {
public:
    using Socket = boost::asio::ip::tcp::socket;
    static constexpr auto kWriteTimeout = std::chrono::seconds(10);

    /// `closed` runs once, when the stream ends for whatever reason.
    MjpegStream(Socket socket, std::function<void()> closed);
    MjpegStream(MjpegStream const&) = delete;
    MjpegStream& operator=(MjpegStream const&) = delete;

    /// Replaces the callback given at construction (before start).
    void onClosed(std::function<void()> closed) { closed_ = std::move(closed); }
    /// Writes the response head and starts noticing when the viewer leaves.
    void start();
    /// The newest picture; the one offered before it is dropped unless it is being written.
    void offer(FramePtr frame);
    /// Ends the stream once the frame being written is out.
    void finish();
    /// Ends it now.
    void close();

    bool writing() const { return writing_; }
    uint64_t sent() const { return sent_; }

private:
    void pump();
    void watchForLeaving();

    Socket socket_;
    boost::asio::steady_timer deadline_;
    std::function<void()> closed_;
    FramePtr sending_;  // the frame the write in flight reads from
    FramePtr next_;     // newest frame not yet sent
    std::string part_;  // part header of the frame in flight
    bool started_ = false, writing_ = false, finishing_ = false, ended_ = false;
    uint64_t sent_ = 0;
    char discard_[256]; // what a viewer sends after its request is read and ignored
};

} // namespace demo

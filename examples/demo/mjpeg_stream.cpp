#include "mjpeg_stream.h"

#include <array>

namespace demo {
namespace asio = boost::asio;

namespace {
constexpr char kBoundary[] = "dvrcoreframe";
// What the kernel may buffer for one viewer: a few pictures, so that a viewer
// that stops reading is noticed within seconds.
constexpr int kSendBuffer = 256 * 1024;
} // namespace

MjpegStream::MjpegStream(Socket socket, std::function<void()> closed)
    : socket_(std::move(socket)), deadline_(socket_.get_executor()), closed_(std::move(closed)) {
    boost::system::error_code ignored;
    socket_.set_option(asio::socket_base::send_buffer_size(kSendBuffer), ignored);
}

void MjpegStream::start() {
    part_ = std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=") + kBoundary +
            "\r\nCache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n";
    writing_ = true;
    deadline_.expires_after(kWriteTimeout);
    auto self = shared_from_this();
    deadline_.async_wait([self](boost::system::error_code ec) {
        if (!ec && self->writing_) self->close();
    });
    asio::async_write(socket_, asio::buffer(part_), [self](boost::system::error_code ec, size_t) {
        self->writing_ = false;
        self->deadline_.cancel();
        if (ec) return self->close();
        self->started_ = true;
        self->pump();
    });
    watchForLeaving();
}

void MjpegStream::offer(FramePtr frame) {
    if (ended_) return;
    next_ = std::move(frame);
    pump();
}

void MjpegStream::finish() {
    finishing_ = true;
    if (!writing_) close();
}

void MjpegStream::close() {
    if (ended_) return;
    ended_ = true;
    boost::system::error_code ec;
    socket_.shutdown(Socket::shutdown_both, ec);
    socket_.close(ec);
    deadline_.cancel();
    next_.reset();
    // sending_ stays until its write handler has run: the write still reads it.
    if (closed_) std::exchange(closed_, nullptr)();
}

void MjpegStream::pump() {
    if (ended_ || !started_ || writing_) return;
    if (!next_) {
        if (finishing_) close();
        return;
    }
    sending_ = std::move(next_);
    auto const& r = sending_->record();
    part_ = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
            std::to_string(r.dataLen) + "\r\n\r\n";
    std::array<asio::const_buffer, 3> const parts{asio::buffer(part_), asio::buffer(r.data, r.dataLen),
                                                  asio::buffer("\r\n", 2)};
    writing_ = true;
    deadline_.expires_after(kWriteTimeout);
    auto self = shared_from_this();
    deadline_.async_wait([self](boost::system::error_code ec) {
        if (!ec && self->writing_) self->close(); // the viewer stopped reading
    });
    asio::async_write(socket_, parts, [self](boost::system::error_code ec, size_t) {
        self->writing_ = false;
        self->sending_.reset(); // the frame goes back unless someone else holds it
        self->deadline_.cancel();
        if (ec) return self->close();
        ++self->sent_;
        self->pump();
    });
}

void MjpegStream::watchForLeaving() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(discard_), [self](boost::system::error_code ec, size_t) {
        if (ec) return self->close(); // the viewer went away (or the stream was closed)
        self->watchForLeaving();
    });
}

} // namespace demo

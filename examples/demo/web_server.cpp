#include "web_server.h"

#include "web_page.h" // kPage, generated from web_page.html

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <cstdlib>
#include <optional>

namespace demo {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(10); // to send a whole request
constexpr uint32_t kHeaderLimit = 8 * 1024;
constexpr unsigned kMaxConnections = 48;
constexpr unsigned kMaxPlaybacks = 4;
constexpr uint64_t kRecordedLagMs = 300; // a playback ends where the recording was this long ago
constexpr uint64_t kGapMs = 1000;        // a longer pause in the recorded times is skipped, not waited for

/// One HTTP connection until it is answered or handed over as a stream.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, WebServer& server) : stream_(std::move(socket)), server_(server) {}
    ~HttpSession() {
        if (id_) server_.leave(id_);
    }

    /// Takes part in the server's count; false (and closed) when it is full.
    bool enrol() {
        id_ = server_.enrol([w = weak_from_this()] {
            if (auto s = w.lock()) s->close();
        });
        if (!id_) close();
        return id_ != 0;
    }

    void read() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(0);
        stream_.expires_after(kRequestTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
    }

private:
    void onRead(beast::error_code ec) {
        if (server_.stopping()) return close();
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
            ec == asio::error::connection_reset || ec == asio::error::eof)
            return close();
        if (ec == http::error::header_limit) return answer(http::status::request_header_fields_too_large, "header too large\n", false);
        if (ec == http::error::body_limit) return answer(http::status::payload_too_large, "no request body expected\n", false);
        if (ec) return answer(http::status::bad_request, "malformed request\n", false);
        auto const& req = parser_->get();
        bool const keep = req.keep_alive();
        if (req.method() != http::verb::get) return answer(http::status::method_not_allowed, "GET only\n", false);
        std::string const target(req.target());
        std::string const path = target.substr(0, target.find('?'));
        std::string const query = target.size() > path.size() ? target.substr(path.size() + 1) : "";
        if (path == "/" || path == "/index.html") return answer(http::status::ok, kPage, keep, "text/html; charset=utf-8");
        if (path == "/api/state") return answer(http::status::ok, server_.stateJson(), keep, "application/json");
        unsigned camera = 0;
        if (std::sscanf(path.c_str(), "/live/%u", &camera) == 1 && path == "/live/" + std::to_string(camera)) {
            if (camera < 1 || camera > kCameras) return answer(http::status::not_found, "no such camera\n", keep);
            return server_.startLive(camera, stream_.release_socket());
        }
        if (std::sscanf(path.c_str(), "/play/%u", &camera) == 1 && path == "/play/" + std::to_string(camera)) {
            unsigned long long from = 0;
            if (std::sscanf(query.c_str(), "from=%llu", &from) != 1)
                return answer(http::status::bad_request, "from=MS expected\n", false);
            std::string const refused = server_.refusePlayback(camera, from);
            if (!refused.empty()) return answer(http::status::service_unavailable, refused + "\n", keep);
            return server_.startPlayback(camera, from, stream_.release_socket());
        }
        answer(http::status::not_found, "not found\n", keep);
    }

    void answer(http::status status, std::string body, bool keep, char const* type = "text/plain; charset=utf-8") {
        auto res = std::make_shared<http::response<http::string_body>>(status, 11);
        res->set(http::field::content_type, type);
        res->set(http::field::cache_control, "no-store");
        res->keep_alive(keep);
        res->body() = std::move(body);
        res->prepare_payload();
        server_.answered(static_cast<unsigned>(status));
        stream_.expires_after(MjpegStream::kWriteTimeout);
        http::async_write(stream_, *res, [self = shared_from_this(), res, keep](beast::error_code ec, size_t) {
            if (ec || !keep) return self->close();
            self->read();
        });
    }

    void close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{kHeaderLimit};
    std::optional<http::request_parser<http::empty_body>> parser_;
    WebServer& server_;
    uint64_t id_ = 0;
};

} // namespace

/// One playback: the search it asked for and the stream it feeds, paced to
/// the recorded times. The frame waiting for its time is the search's one
/// result in flight: the recorder sends the next once it is released.
struct WebServer::Playback {
    uint32_t requestId = 0;
    std::shared_ptr<MjpegStream> stream;
    asio::steady_timer due;
    FramePtr waiting;
    bool based = false;
    std::chrono::steady_clock::time_point baseAt;
    uint64_t baseMs = 0, lastMs = 0;
    explicit Playback(asio::io_context& io) : due(io) {}
};

WebServer::WebServer(asio::io_context& io, WebHooks hooks) : io_(io), hooks_(std::move(hooks)), acceptor_(io) {}

bool WebServer::listen(uint16_t port, std::string& error) {
    boost::system::error_code ec;
    tcp::endpoint const at(asio::ip::make_address_v4("127.0.0.1"), port);
    acceptor_.open(at.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(at, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    asio::post(io_, [this] { accept(); });
    return true;
}

void WebServer::accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (stopped_) return;
        if (!ec) {
            // Too many at once are closed: a client that opens without end harms no one else.
            auto s = std::make_shared<HttpSession>(std::move(socket), *this);
            if (s->enrol()) s->read();
        }
        accept();
    });
}

uint64_t WebServer::enrol(std::function<void()> close) {
    if (stopped_ || connections_ >= kMaxConnections) return 0;
    ++connections_;
    sessions_.emplace(nextSession_, std::move(close));
    return nextSession_++;
}

void WebServer::leave(uint64_t session) {
    if (sessions_.erase(session)) --connections_;
}

void WebServer::stop() {
    stopped_ = true;
    boost::system::error_code ec;
    acceptor_.close(ec);
    auto const sessions = sessions_; // closing one ends it, which takes it out
    for (auto const& [id, close] : sessions) close();
    for (auto& viewers : live_) {
        auto const all = viewers; // closing removes them from the list
        for (auto const& s : all) s->close();
    }
    while (!playbacks_.empty()) endPlayback(playbacks_.begin()->first, true);
    for (auto& f : latest_) f.reset();
}

void WebServer::liveFrame(unsigned camera, FramePtr frame) {
    if (stopped_ || camera < 1 || camera > kCameras) return;
    ++liveFrames_[camera - 1];
    latest_[camera - 1] = frame;
    for (auto const& s : live_[camera - 1]) s->offer(frame);
}

void WebServer::startLive(unsigned camera, MjpegStream::Socket socket) {
    ++connections_;
    auto stream = std::make_shared<MjpegStream>(std::move(socket), nullptr);
    MjpegStream const* const key = stream.get();
    stream->onClosed([this, camera, key] {
        --connections_;
        auto& viewers = live_[camera - 1];
        for (auto i = viewers.begin(); i != viewers.end(); ++i)
            if (i->get() == key) {
                liveSent_[camera - 1] += (*i)->sent();
                viewers.erase(i);
                break;
            }
    });
    live_[camera - 1].push_back(stream);
    stream->start();
    if (latest_[camera - 1]) stream->offer(latest_[camera - 1]);
}

std::string WebServer::refusePlayback(unsigned camera, uint64_t fromMs) const {
    if (camera < 1 || camera > kCameras) return "no such camera";
    if (stopped_) return "stopping";
    if (playbacks_.size() >= kMaxPlaybacks) return "too many playbacks at once";
    if (fromMs >= nowMs() - kRecordedLagMs) return "nothing recorded there yet";
    return {};
}

void WebServer::startPlayback(unsigned camera, uint64_t fromMs, MjpegStream::Socket socket) {
    uint64_t const to = nowMs() - kRecordedLagMs;
    uint32_t const id = kWebViewAddress | nextRequest_;
    nextRequest_ = nextRequest_ % 0xFFFFu + 1; // the low 16 bits, never 0
    auto p = std::make_shared<Playback>(io_);
    p->requestId = id;
    ++connections_;
    p->stream = std::make_shared<MjpegStream>(std::move(socket), nullptr);
    // The viewer left or the replay ended: either way the search is over for us.
    p->stream->onClosed([this, id] {
        --connections_;
        endPlayback(id, true);
    });
    playbacks_[id] = p;
    p->stream->start();
    ++playbacksStarted_;
    if (hooks_.search(id, SearchQuery{camera, fromMs, to}) != OX_POST_ACCEPTED) p->stream->close();
}

void WebServer::endPlayback(uint32_t requestId, bool cancel) {
    auto const it = playbacks_.find(requestId);
    if (it == playbacks_.end()) return;
    auto const p = it->second;
    playbacks_.erase(it);
    p->due.cancel();
    p->waiting.reset(); // released: a recorder waiting on it learns of the cancel with its next result
    if (cancel) {
        hooks_.cancel(requestId);
        ++playbacksCancelled_;
    }
    p->stream->close();
}

void WebServer::storedFrame(uint32_t requestId, FramePtr frame) {
    auto const it = playbacks_.find(requestId);
    if (it == playbacks_.end()) return; // a result still in flight after the viewer left: released here
    auto const p = it->second;
    if (!frame) {
        // The replay is complete: the stream ends after its last picture, the search needs no cancel.
        playbacks_.erase(it);
        ++playbacksComplete_;
        p->stream->finish();
        return;
    }
    uint64_t const ms = timeMs(frame->record());
    auto const now = std::chrono::steady_clock::now();
    // Recorded pace: each picture at its recorded distance from the first, gaps skipped.
    if (!p->based || ms < p->lastMs || ms - p->lastMs > kGapMs) {
        p->based = true;
        p->baseAt = now;
        p->baseMs = ms;
    }
    p->lastMs = ms;
    auto const at = p->baseAt + std::chrono::milliseconds(ms - p->baseMs);
    ++playbackFrames_;
    if (at <= now) return p->stream->offer(std::move(frame));
    p->waiting = std::move(frame);
    p->due.expires_at(at);
    p->due.async_wait([p](boost::system::error_code ec) {
        if (!ec && p->waiting) p->stream->offer(std::move(p->waiting));
    });
}

} // namespace demo

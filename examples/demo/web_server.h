// WebView's HTTP server: one page, the cameras live, playback of recordings
// through searches, and the appliance's state as JSON for the page to poll.
// Everything here runs on the one thread that runs the io_context (the
// plugin's worker thread); the plugin's other threads reach it only through
// boost::asio::post.
#pragma once

#include "demo_common.h"
#include "kept_frame.h"
#include "mjpeg_stream.h"

#include <boost/asio.hpp>

#include <array>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace demo {

/// What the server needs of the plugin around it.
struct WebHooks {
    /// Posts a search request; returns the core's answer (0 = taken).
    std::function<int(uint32_t requestId, SearchQuery const&)> search;
    /// Posts the cancel of a search.
    std::function<void(uint32_t requestId)> cancel;
    /// Logs through the core.
    std::function<void(int32_t level, std::string)> log;
    /// Payload references held, per plugin id (the core's accounting).
    std::function<uint32_t(unsigned pluginId)> refs;
    /// Reference blocks alive and their bytes.
    std::function<std::pair<uint32_t, uint32_t>()> blocks;
};

/// An alarm as the page lists it.
struct AlarmNote {
    uint64_t ms = 0;     // mseTime, or arrival when the document has none
    unsigned camera = 0; // 0: not tied to a camera
    unsigned from = 0;   // plugin id of the poster
    std::string kind;    // "Motion", ..., "Memory" for the core's memory alarm
    int state = 1;
    uint64_t seq = 0;    // 1, 2, ... as they came; the page shows each once
};

class WebServer {
public:
    WebServer(boost::asio::io_context& io, WebHooks hooks);
    WebServer(WebServer const&) = delete;
    WebServer& operator=(WebServer const&) = delete;

    /// Binds 127.0.0.1:port; false with the reason when it cannot.
    bool listen(uint16_t port, std::string& error);
    /// Closes the listener and every connection, cancels running playbacks.
    void stop();

    // Fed by the plugin's OnEvent, through post.
    void liveFrame(unsigned camera, FramePtr frame);
    /// A result of one of our searches; `frame` is null on the record that ends it.
    void storedFrame(uint32_t requestId, FramePtr frame);
    void alarm(AlarmNote note);
    void configDocument(std::string xml);
    void coreSummary(std::string text);
    /// Records offered to us in the last second, by kind; called once a second.
    void recordsPerSecond(uint32_t count);

    // For the HTTP sessions.
    std::string stateJson();
    /// Serves /live/N (1..kCameras) on the socket.
    void startLive(unsigned camera, MjpegStream::Socket socket);
    /// Why /play/N?from=MS cannot be served now; empty when it can.
    std::string refusePlayback(unsigned camera, uint64_t fromMs) const;
    /// Serves it: a search from fromMs to what is recorded now, streamed at the recorded pace.
    void startPlayback(unsigned camera, uint64_t fromMs, MjpegStream::Socket socket);
    /// Enrols a connection that is being read or answered, with what closes
    /// it at stop; 0 once there are too many.
    uint64_t enrol(std::function<void()> close);
    void leave(uint64_t session);
    bool stopping() const { return stopped_; }
    /// An HTTP answer went out with this status.
    void answered(unsigned status) { ++answers_[status]; }

    /// What the report shows: frames in and out, playbacks, answers.
    std::map<std::string, std::string> figures() const;

private:
    struct Playback;
    void accept();
    void readIndex(unsigned camera);
    void endPlayback(uint32_t requestId, bool cancel);

    boost::asio::io_context& io_;
    WebHooks hooks_;
    boost::asio::ip::tcp::acceptor acceptor_;
    bool stopped_ = false;
    unsigned connections_ = 0; // HTTP sessions and streams open
    std::map<uint64_t, std::function<void()>> sessions_; // HTTP sessions by number, with their closers
    uint64_t nextSession_ = 1;

    std::array<FramePtr, kCameras> latest_;                               // newest live frame per camera
    std::array<std::list<std::shared_ptr<MjpegStream>>, kCameras> live_;  // live viewers per camera
    std::array<uint64_t, kCameras> liveFrames_{};                         // live frames received
    std::array<uint64_t, kCameras> liveSent_{};                           // sent to viewers who have left
    std::map<uint32_t, std::shared_ptr<Playback>> playbacks_;             // by request id
    uint32_t nextRequest_ = 1;                                            // low 16 bits of the next request id
    uint64_t playbackFrames_ = 0, playbacksStarted_ = 0, playbacksCancelled_ = 0, playbacksComplete_ = 0;
    std::map<unsigned, uint64_t> answers_; // HTTP answers by status, streams not counted

    // The recording as the recorder's index on disk shows it.
    struct Span {
        uint64_t from, to;
    };
    std::array<std::vector<Span>, kCameras> recorded_;
    std::array<uint64_t, kCameras> indexRead_{}; // bytes of rec/cam<N>/index.bin read so far
    std::deque<AlarmNote> alarms_;               // newest last, bounded
    uint64_t alarmsSeen_ = 0;
    std::string plugins_;     // JSON array made from the core's status document
    std::string summary_;     // the core's last status summary
    uint64_t summaryMs_ = 0;  // when it came
    std::deque<uint32_t> rates_; // records a second offered to WebView, newest last
};

} // namespace demo

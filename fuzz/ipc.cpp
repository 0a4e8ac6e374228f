// Feeds an arbitrary byte stream, cut at arbitrary points, through the parent
// channel's packet reader, the way socket reads would deliver it, and checks
// every packet against a plain reference framer. Identity payloads are split
// into texts as the core does.
//
// Input: byte 0 = number n of cut bytes (mod 16), then n cut bytes (piece
// sizes, used in turn; 0 means "as much as fits"), then the stream.
#include "core/ipc_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#if defined(__clang__)
#define DVR_FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define DVR_FUZZ_NO_COVERAGE
#endif

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

/// The framing rules written as plainly as possible. What it holds is always
/// one stretch of the stream, so it keeps offsets rather than copies: a byte
/// copy per piece made long inputs cut into single bytes quadratic.
struct ReferenceFramer {
    struct Packet {
        size_t at, size;
    };
    std::string_view stream;
    size_t begin = 0, end = 0;   ///< buffered bytes: stream[begin, end)
    std::vector<Packet>* packets = nullptr;
    int badLengths = 0;

    size_t buffered() const { return end - begin; }
    void feed(size_t n) {
        end += n;
        while (end - begin >= ox::ipc::kHeaderSize) {
            uint32_t len;
            std::memcpy(&len, stream.data() + begin, 4);
            if (len < ox::ipc::kHeaderSize || len > ox::ipc::kMaxPacket) {
                begin = end;
                ++badLengths;
                return;
            }
            if (end - begin < len) return;
            packets->push_back({begin, len});
            begin += len;
        }
    }
};

void checkIdentity(std::string_view payload) {
    auto const ids = ox::ipc::splitIdentity(payload);
    check(ids.count <= 3);
    char const* const end = payload.data() + payload.size();
    for (unsigned i = 0; i < ids.count; ++i) {
        auto const t = ids.text[i];
        check(t.data() >= payload.data() && t.data() + t.size() <= end);
        check(t.find('\0') == std::string_view::npos);
    }
    check(payload.empty() == (ids.count == 0));
}

struct Expected {
    std::string_view stream;
    std::vector<ReferenceFramer::Packet> const* packets;
    size_t delivered = 0;  ///< packets the reader has handed out so far
};

// The reader and the checks on what it hands out give libFuzzer its
// feedback; the driver below (cutting, the reference) is not instrumented.
// Comparison tracing on its per-piece arithmetic took most of the time on
// inputs cut into many pieces, and grew the corpus with mere cut patterns.
[[gnu::noinline]] ox::ipc::IpcReader::Status deliver(ox::ipc::IpcReader& reader, uint32_t n, Expected& ex) {
    return reader.consume(n, [&](std::string_view p) {
        ox_IpcHeader const h = ox::ipc::headerOf(p);
        check(h.length == p.size() && p.size() >= ox::ipc::kHeaderSize && p.size() <= ox::ipc::kMaxPacket);
        if (h.type == ox::ipc::kTypeIdentity) checkIdentity(p.substr(ox::ipc::kHeaderSize));
        // Same packets, in the same order, and out of the same piece.
        check(ex.delivered < ex.packets->size());
        auto const want = (*ex.packets)[ex.delivered++];
        check(p == ex.stream.substr(want.at, want.size));
    });
}

} // namespace

extern "C" DVR_FUZZ_NO_COVERAGE int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size == 0) return 0;
    size_t const cutCount = data[0] % 16;
    if (size < 1 + cutCount) return 0;
    uint8_t const* const cuts = data + 1;
    std::string_view stream(reinterpret_cast<char const*>(data) + 1 + cutCount, size - 1 - cutCount);

    // One reader and one packet list for the whole campaign: a fresh 64 KiB
    // heap block per input cost more than the parsing. The reader is rebuilt
    // in place, so every input starts from the same zeroed state.
    static auto* const reader = new ox::ipc::IpcReader;
    static auto* const expected = new std::vector<ReferenceFramer::Packet>;
    std::construct_at(reader);
    expected->clear();

    ReferenceFramer ref;
    ref.stream = stream;
    ref.packets = expected;
    Expected ex{stream, expected};
    int badLengths = 0;
    for (size_t turn = 0, at = 0; at < stream.size(); ++turn) {
        auto space = reader->space();
        check(!space.empty() && space.size() <= ox::ipc::kMaxPacket);
        size_t want = cutCount ? cuts[turn % cutCount] : 0;
        // Cut bytes scale up so that large packets are reached in few pieces.
        want = want == 0 ? space.size() : want * (want > 200 ? 300 : 1);
        size_t const n = std::min(std::min(want, space.size()), stream.size() - at);
        std::memcpy(space.data(), stream.data() + at, n);
        at += n;
        ref.feed(n);
        if (deliver(*reader, static_cast<uint32_t>(n), ex) == ox::ipc::IpcReader::Status::BadLength) ++badLengths;
        check(reader->fill() == ref.buffered());
    }
    check(ex.delivered == expected->size());
    check(badLengths == ref.badLengths);
    return 0;
}

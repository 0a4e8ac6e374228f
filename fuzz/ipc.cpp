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
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

/// The framing rules written as plainly as possible.
struct ReferenceFramer {
    std::string buffered;
    std::vector<std::string> packets;
    int badLengths = 0;
    void feed(std::string_view piece) {
        buffered.append(piece);
        while (buffered.size() >= ox::ipc::kHeaderSize) {
            uint32_t len;
            std::memcpy(&len, buffered.data(), 4);
            if (len < ox::ipc::kHeaderSize || len > ox::ipc::kMaxPacket) {
                buffered.clear();
                ++badLengths;
                return;
            }
            if (buffered.size() < len) return;
            packets.push_back(buffered.substr(0, len));
            buffered.erase(0, len);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size == 0) return 0;
    size_t const cutCount = data[0] % 16;
    if (size < 1 + cutCount) return 0;
    std::vector<uint8_t> const cuts(data + 1, data + 1 + cutCount);
    std::string_view stream(reinterpret_cast<char const*>(data) + 1 + cutCount, size - 1 - cutCount);

    auto reader = std::make_unique<ox::ipc::IpcReader>();
    ReferenceFramer ref;
    std::vector<std::string> packets;
    int badLengths = 0;
    for (size_t turn = 0; !stream.empty(); ++turn) {
        auto space = reader->space();
        check(!space.empty() && space.size() <= ox::ipc::kMaxPacket);
        size_t want = cutCount ? cuts[turn % cutCount] : 0;
        // Cut bytes scale up so that large packets are reached in few pieces.
        want = want == 0 ? space.size() : want * (want > 200 ? 300 : 1);
        size_t const n = std::min<size_t>({want, space.size(), stream.size()});
        std::memcpy(space.data(), stream.data(), n);
        ref.feed(stream.substr(0, n));
        stream.remove_prefix(n);
        auto const st = reader->consume(static_cast<uint32_t>(n), [&](std::string_view p) {
            ox_IpcHeader const h = ox::ipc::headerOf(p);
            check(h.length == p.size() && p.size() >= ox::ipc::kHeaderSize && p.size() <= ox::ipc::kMaxPacket);
            if (h.type == ox::ipc::kTypeIdentity) checkIdentity(p.substr(ox::ipc::kHeaderSize));
            packets.emplace_back(p);
        });
        if (st == ox::ipc::IpcReader::Status::BadLength) ++badLengths;
        check(reader->fill() == ref.buffered.size());
    }
    check(packets == ref.packets);
    check(badLengths == ref.badLengths);
    return 0;
}

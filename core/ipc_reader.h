// The receive side of the parent channel, without the socket: a fixed buffer
// that always starts at a packet boundary, cut into complete packets in place,
// and the text splitting of the parent's identity packet.
#pragma once

#include "dvrcore/ipc_packet.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace ox::ipc {

inline constexpr uint32_t kHeaderSize = OX_IPC_HEADER_SIZE;
inline constexpr uint32_t kMaxPacket = OX_IPC_MAX_PACKET;
inline constexpr uint32_t kTypeIdentity = OX_IPC_TYPE_IDENTITY;
inline constexpr uint32_t kTypeStop = OX_IPC_TYPE_STOP;
inline constexpr std::string_view kBackgroundOption = OX_IPC_BACKGROUND_OPTION;

/// Header of a packet that starts `bytes` (at least kHeaderSize of them).
inline ox_IpcHeader headerOf(std::string_view bytes) noexcept {
    ox_IpcHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return h;
}

/// Reassembles packets from whatever pieces the stream delivers. Packets are
/// handed out as views into the buffer: no allocation on the read side.
class IpcReader {
public:
    enum class Status {
        Ok,        ///< every complete packet handled; a partial one may be kept
        BadLength, ///< a length outside 16..65536 was seen; everything buffered was discarded
    };

    /// Room behind the buffered bytes, where the next read goes. Never empty
    /// between calls to consume: a full buffer always holds a whole packet.
    std::span<char> space() noexcept { return {buf_.data() + fill_, buf_.size() - fill_}; }
    uint32_t fill() const noexcept { return fill_; }

    /// Takes `bytes` just read into space() and calls onPacket(std::string_view)
    /// for every complete packet, in order; the view covers the whole packet
    /// and is valid only during the call. A partial packet stays buffered.
    template <class OnPacket>
    Status consume(uint32_t bytes, OnPacket&& onPacket) {
        fill_ += bytes < kMaxPacket - fill_ ? bytes : kMaxPacket - fill_;
        uint32_t at = 0;
        while (fill_ - at >= kHeaderSize) {
            std::string_view const rest(buf_.data() + at, fill_ - at);
            uint32_t const length = headerOf(rest).length;
            // A length below the header would never advance; treat it like an over-long one.
            if (length > kMaxPacket || length < kHeaderSize) {
                fill_ = 0;
                return Status::BadLength;
            }
            if (rest.size() < length) break;
            onPacket(rest.substr(0, length));
            at += length;
        }
        if (at != 0) {
            std::memmove(buf_.data(), buf_.data() + at, fill_ - at);
            fill_ -= at;
        }
        return Status::Ok;
    }

private:
    std::array<char, kMaxPacket> buf_{};
    uint32_t fill_ = 0;
};

/// The texts of an identity payload: file name, version, options.
struct IdentityTexts {
    std::array<std::string_view, 3> text{};
    unsigned count = 0; ///< texts present, 0 to 3; later ones are ignored
};

/// Splits an identity payload at NUL bytes: every NUL ends a text (two in a
/// row give an empty text), a final NUL adds no empty text, and a last text
/// without a NUL runs to the end of the payload.
IdentityTexts splitIdentity(std::string_view payload) noexcept;

} // namespace ox::ipc

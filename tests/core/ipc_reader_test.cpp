// The parent channel's packet reader and the identity text splitting, without
// a socket: pieces of a byte stream go in, whole packets come out.
#include "core/ipc_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ox::ipc::IpcReader;

namespace {

std::string packet(uint32_t type, uint32_t routing, std::string const& payload, int64_t length = -1) {
    ox_IpcHeader h{length >= 0 ? static_cast<uint32_t>(length) : static_cast<uint32_t>(16 + payload.size()), routing, type, 0};
    return std::string(reinterpret_cast<char const*>(&h), sizeof h) + payload;
}

/// Feeds `bytes` in pieces of `step` (the last may be shorter) and collects packets.
struct Feeder {
    IpcReader reader;
    std::vector<std::string> packets;
    std::vector<size_t> arrivedAfterPiece; ///< piece index at which each packet came out
    int badLengths = 0;

    void feed(std::string const& bytes, size_t step) {
        for (size_t at = 0, piece = 0; at < bytes.size(); at += step, ++piece) {
            size_t const n = std::min(step, bytes.size() - at);
            auto space = reader.space();
            ASSERT_GE(space.size(), n);
            std::copy_n(bytes.data() + at, n, space.data());
            auto st = reader.consume(static_cast<uint32_t>(n), [&](std::string_view p) {
                packets.emplace_back(p);
                arrivedAfterPiece.push_back(piece);
            });
            if (st == IpcReader::Status::BadLength) ++badLengths;
            ASSERT_FALSE(reader.space().empty()) << "a reader with no room could never read again";
        }
    }
};

} // namespace

TEST(IpcReader, PacketsComeOutWholeInOrderHoweverTheStreamIsCut) {
    std::string const a = packet(0x100, 0x01500000, "first");
    std::string const b = packet(0x101, 0x01100000, "");
    std::string const c = packet(0x102, 0x01500000, std::string(70, 'c'));
    std::string const stream = a + b + c;
    for (size_t step : {stream.size(), size_t{1}, size_t{3}, size_t{16}, size_t{17}, a.size()}) {
        Feeder f;
        f.feed(stream, step);
        ASSERT_EQ(f.packets, (std::vector<std::string>{a, b, c})) << "step " << step;
        EXPECT_EQ(f.reader.fill(), 0u);
        EXPECT_EQ(f.badLengths, 0);
    }
    // Byte by byte: each packet comes out exactly when its last byte arrives.
    Feeder f;
    f.feed(stream, 1);
    EXPECT_EQ(f.arrivedAfterPiece, (std::vector<size_t>{a.size() - 1, a.size() + b.size() - 1, stream.size() - 1}));
}

TEST(IpcReader, LargestPacketFillsTheBufferExactly) {
    std::string const big = packet(0x100, 0, std::string(ox::ipc::kMaxPacket - 16, 'z'));
    std::string const small = packet(0x100, 0, "after");
    Feeder f;
    // Cut so that a read ends exactly at the full buffer.
    f.feed(big.substr(0, 40000), 40000);
    f.feed(big.substr(40000) + small, ox::ipc::kMaxPacket - 40000);
    ASSERT_EQ(f.packets.size(), 2u);
    EXPECT_EQ(f.packets[0], big);
    EXPECT_EQ(f.packets[1], small);
}

TEST(IpcReader, LengthOutsideTheFormatDiscardsTheBufferAndReadingGoesOn) {
    for (uint32_t bad : {ox::ipc::kMaxPacket + 1, 0xFFFFFFFFu, 15u, 0u}) {
        Feeder f;
        std::string const good = packet(0x100, 0, "ok");
        // A good packet, then only the header of a bad one: the bad length is
        // judged at once and the buffer emptied.
        f.feed(good + packet(0x100, 0, "", bad).substr(0, 16), 64);
        EXPECT_EQ(f.badLengths, 1) << bad;
        EXPECT_EQ(f.packets.size(), 1u);
        EXPECT_EQ(f.reader.fill(), 0u);
        f.feed(good, 5);
        EXPECT_EQ(f.packets.size(), 2u) << bad;
    }
    // Fewer than 16 bytes are never judged.
    Feeder f;
    f.feed(packet(0, 0, "", 3).substr(0, 15), 15);
    EXPECT_EQ(f.badLengths, 0);
    EXPECT_EQ(f.reader.fill(), 15u);
}

TEST(IpcIdentity, TextsSplitAtEveryNul) {
    using namespace std::string_literals;
    struct Case {
        std::string payload;
        std::vector<std::string> texts;
    };
    std::vector<Case> const cases{
        {""s, {}},
        {"orveld"s, {"orveld"}},
        {"orveld\0"s, {"orveld"}},
        {"orveld\0" "1.2"s, {"orveld", "1.2"}},
        {"orveld\0" "1.2\0"s, {"orveld", "1.2"}},
        {"a\0\0Background:true"s, {"a", "", "Background:true"}},
        {"a\0b\0c\0d\0e"s, {"a", "b", "c"}},
        {"\0"s, {""}},
        {"\0\0"s, {"", ""}},
        {"a\0b\0\0"s, {"a", "b", ""}},
    };
    for (auto const& c : cases) {
        auto const got = ox::ipc::splitIdentity(c.payload);
        std::vector<std::string> texts(got.text.begin(), got.text.begin() + got.count);
        EXPECT_EQ(texts, c.texts) << "payload of " << c.payload.size() << " bytes";
    }
}

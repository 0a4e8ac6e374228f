// SHA-2 against the FIPS 180-4 example messages, fed whole and in awkward
// pieces, then against OpenSSL on random messages in random chunks.
#include "dvrcore/sha2.h"

#include "openssl_ref.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

using ref::Bytes;
using ref::hex;

std::string const k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
std::string const k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
std::string const kMillion(1000000, 'a');

struct Expected {
    uint32_t bits;
    char const* empty;
    char const* abc;
    char const* m448;
    char const* m896;
    char const* million;
};

constexpr Expected kExpected[] = {
    {224, "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f",
     "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7",
     "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525",
     "c97ca9a559850ce97a04a96def6d99a9e0e0e2ab14e6b8df265fc0b3",
     "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67"},
    {256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {384,
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7",
     "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b",
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039",
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {512,
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445",
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909",
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
};

// Digest through sha2_begin/sha2_hash/sha2_end, feeding pieces of `piece` bytes.
std::string digest(uint32_t size, std::string const& msg, size_t piece) {
    sha2_ctx ctx;
    EXPECT_EQ(0, sha2_begin(size, &ctx));
    auto const* p = reinterpret_cast<unsigned char const*>(msg.data());
    for (size_t at = 0; at < msg.size(); at += piece)
        sha2_hash(p + at, std::min(piece, msg.size() - at), &ctx);
    unsigned char out[64];
    sha2_end(out, &ctx);
    return hex(out, ctx.digest_size);
}

TEST(Sha2, StandardVectorsWholeAndInPieces) {
    for (auto const& e : kExpected) {
        SCOPED_TRACE(e.bits);
        for (size_t piece : {size_t{1000000}, size_t{1}, size_t{3}, size_t{55}, size_t{63}, size_t{64},
                             size_t{65}, size_t{111}, size_t{127}, size_t{129}, size_t{4097}}) {
            SCOPED_TRACE(piece);
            if (piece < 55) { // the million-byte message only in larger pieces, for time
                EXPECT_EQ(e.abc, digest(e.bits, "abc", piece));
                EXPECT_EQ(e.m896, digest(e.bits, k896, piece));
                continue;
            }
            EXPECT_EQ(e.empty, digest(e.bits, "", piece));
            EXPECT_EQ(e.abc, digest(e.bits, "abc", piece));
            EXPECT_EQ(e.m448, digest(e.bits, k448, piece));
            EXPECT_EQ(e.m896, digest(e.bits, k896, piece));
            EXPECT_EQ(e.million, digest(e.bits, kMillion, piece));
        }
        // The size may be given in bytes as well.
        EXPECT_EQ(e.abc, digest(e.bits / 8, "abc", 1));
    }
}

TEST(Sha2, BeginRefusesOtherSizes) {
    sha2_ctx ctx;
    for (uint32_t size : {0u, 1u, 20u, 160u, 255u, 257u, 1024u}) EXPECT_EQ(1, sha2_begin(size, &ctx)) << size;
}

TEST(Sha2, OneCallDigestAndFamilyFunctions) {
    unsigned char out[32];
    sha256(out, reinterpret_cast<unsigned char const*>("abc"), 3);
    EXPECT_EQ(kExpected[1].abc, hex(out, 32));

    // sha256_compile processes the buffered block exactly as hashing it would.
    sha256_ctx a, b;
    sha256_begin(&a);
    sha256_begin(&b);
    for (int i = 0; i < 64; ++i) a.buf[i] = static_cast<unsigned char>(i);
    sha256_compile(&a);
    sha256_hash(b.buf, 0, &b);
    sha256_hash(a.buf, 64, &b);
    EXPECT_EQ(0, std::memcmp(a.hash, b.hash, sizeof a.hash));
}

TEST(Sha2, MatchesOpenSslOnRandomMessagesInRandomChunks) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    struct Kind {
        uint32_t bits;
        char const* name;
    };
    for (Kind kind : {Kind{224, "SHA224"}, Kind{256, "SHA256"}, Kind{384, "SHA384"}, Kind{512, "SHA512"}}) {
        for (int round = 0; round < 600; ++round) {
            size_t const len = std::uniform_int_distribution<size_t>(0, round % 10 == 0 ? 20000 : 700)(rng);
            Bytes msg(len);
            for (auto& c : msg) c = static_cast<unsigned char>(byte(rng));
            sha2_ctx ctx;
            sha2_begin(kind.bits, &ctx);
            for (size_t at = 0; at < len;) {
                size_t const chunk = std::min(len - at, std::uniform_int_distribution<size_t>(0, 300)(rng));
                sha2_hash(msg.data() + at, chunk, &ctx);
                at += chunk;
            }
            unsigned char out[64];
            sha2_end(out, &ctx);
            ASSERT_EQ(hex(ref::digest(kind.name, msg.data(), len)), hex(out, kind.bits / 8))
                << kind.name << " length " << len;
        }
    }
}

} // namespace

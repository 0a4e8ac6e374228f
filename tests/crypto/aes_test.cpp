// The block cipher against the FIPS-197 appendix vectors, then against OpenSSL
// on random keys and blocks.
#include "dvrcore/aes.h"

#include "openssl_ref.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using ref::Bytes;
using ref::hex;
using ref::unhex;

struct Vector {
    char const* key;
    char const* plain;
    char const* cipher;
};

// Appendix C (all three key sizes) and the worked example of Appendix B.
constexpr Vector kVectors[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
     "8ea2b7ca516745bfeafc49904b496089"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
};

TEST(Aes, StandardVectorsAllKeySizes) {
    for (auto const& v : kVectors) {
        SCOPED_TRACE(v.key);
        Bytes const key = unhex(v.key), plain = unhex(v.plain);
        aes_encrypt_ctx ecx;
        aes_decrypt_ctx dcx;
        int const bytes = static_cast<int>(key.size());
        ASSERT_EQ(0, aes_encrypt_key(key.data(), bytes, &ecx));
        ASSERT_EQ(0, aes_decrypt_key(key.data(), bytes * 8, &dcx)); // by bits too
        EXPECT_EQ(static_cast<uint32_t>(bytes / 4 + 6), ecx.rounds);
        unsigned char out[16], back[16];
        ASSERT_EQ(0, aes_encrypt(plain.data(), out, &ecx));
        EXPECT_EQ(v.cipher, hex(out, 16));
        ASSERT_EQ(0, aes_decrypt(out, back, &dcx));
        EXPECT_EQ(v.plain, hex(back, 16));
        // In place.
        ASSERT_EQ(0, aes_encrypt(back, back, &ecx));
        EXPECT_EQ(v.cipher, hex(back, 16));
    }
}

TEST(Aes, KeyExpansionMatchesAppendixA) {
    Bytes const key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    aes_encrypt_ctx cx;
    aes_encrypt_key128(key.data(), &cx);
    EXPECT_EQ(0xa0fafe17u, cx.ks[4]);
    EXPECT_EQ(0xb6630ca6u, cx.ks[43]);
    Bytes const key256 = unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    aes_encrypt_key256(key256.data(), &cx);
    EXPECT_EQ(0x706c631eu, cx.ks[59]);
}

TEST(Aes, RefusesBadRoundCountsAndKeyLengths) {
    unsigned char block[16] = {};
    aes_encrypt_ctx ecx{};
    aes_decrypt_ctx dcx{};
    EXPECT_NE(0, aes_encrypt(block, block, &ecx)); // never keyed
    EXPECT_NE(0, aes_decrypt(block, block, &dcx));
    ecx.rounds = 11;
    EXPECT_NE(0, aes_encrypt(block, block, &ecx));
    unsigned char key[32] = {};
    for (int len : {0, 15, 17, 20, 64, 127, 129, 512, -16}) {
        EXPECT_EQ(-1, aes_encrypt_key(key, len, &ecx)) << len;
        EXPECT_EQ(-1, aes_decrypt_key(key, len, &dcx)) << len;
    }
    EXPECT_EQ(11u, ecx.rounds) << "a refused length leaves the context alone";
}

TEST(Aes, MatchesOpenSslOnRandomKeysAndBlocks) {
    std::mt19937 rng(20260601);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t keyBytes : {16u, 24u, 32u}) {
        for (int round = 0; round < 1500; ++round) {
            Bytes key(keyBytes), blocks(16 * 4);
            for (auto& b : key) b = static_cast<unsigned char>(byte(rng));
            for (auto& b : blocks) b = static_cast<unsigned char>(byte(rng));
            Bytes const expect = ref::cipher(ref::ecbForKeyBytes(keyBytes), true, key.data(), nullptr,
                                             blocks.data(), blocks.size());
            aes_encrypt_ctx ecx;
            aes_decrypt_ctx dcx;
            aes_encrypt_key(key.data(), static_cast<int>(keyBytes), &ecx);
            aes_decrypt_key(key.data(), static_cast<int>(keyBytes), &dcx);
            Bytes got(blocks.size()), back(blocks.size());
            for (size_t i = 0; i < blocks.size(); i += 16) {
                aes_encrypt(blocks.data() + i, got.data() + i, &ecx);
                aes_decrypt(got.data() + i, back.data() + i, &dcx);
            }
            ASSERT_EQ(hex(expect), hex(got)) << "key " << hex(key);
            ASSERT_EQ(blocks, back);
        }
    }
}

} // namespace

// Identifiers and the modular arithmetic exported to plugins.
#include "dvrcore/drm_crypto.h"
#include "dvrcore/guid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

TEST(Guid, TextFormAndSizeCheck) {
    _GUID g{0x0123abcd, 0x00ef, 0xbeef, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xff}};
    char text[40];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(0, GuidToText(g, text, 36));
    EXPECT_EQ('#', text[0]) << "nothing written when the room is too small";
    EXPECT_EQ(1, GuidToText(g, text, 37));
    EXPECT_STREQ("0123abcd-00ef-beef-0011-2233445566ff", text);
    EXPECT_EQ('#', text[37]);
}

TEST(Guid, FreshRandomBytesEachCall) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        char iv[16];
        GenerateIV16(iv);
        seen.emplace(iv, sizeof iv);
        _GUID g;
        EXPECT_EQ(0, CoCreateGuid(&g));
        seen.emplace(reinterpret_cast<char const*>(&g), sizeof g);
    }
    EXPECT_EQ(128u, seen.size());
}

TEST(DrmCrypto, ModularPower) {
    CDrmCrypto c;
    EXPECT_EQ(24, c.XpowYmodN(2, 10, 1000));
    EXPECT_EQ(2 % 7, c.XpowYmodN(2, 1, 7));
    EXPECT_EQ(445, c.XpowYmodN(4, 13, 497));
    // Largest modulus callers use: products still fit in 64 bits.
    long long const p = 2147483647; // 2^31 - 1, prime
    EXPECT_EQ(1, c.XpowYmodN(16807, p - 1, p));
    EXPECT_EQ(-1, c.XpowYmodN(-1, 3, 7)) << "truncating remainder keeps the sign";
    try {
        c.XpowYmodN(5, 0, 7);
        FAIL() << "no exception";
    } catch (int e) {
        EXPECT_EQ(0, e);
    }
    EXPECT_THROW(c.XpowYmodN(5, 3, 0), int);
    EXPECT_THROW(c.XpowYmodN(5, -3, 7), int) << "a negative exponent must not recurse forever";
}

TEST(DrmCrypto, PrimalityTests) {
    CDrmCrypto c;
    EXPECT_FALSE(c.IsItPrime(2, 1));
    EXPECT_TRUE(c.IsItPrime(2, 7));
    EXPECT_FALSE(c.IsItPrime(2, 15));
    // Small n has no base in 2..n-2: answered without dividing by zero.
    EXPECT_EQ(0, c.MillerRabin(0, 5));
    EXPECT_EQ(0, c.MillerRabin(1, 5));
    EXPECT_EQ(1, c.MillerRabin(2, 5));
    EXPECT_EQ(1, c.MillerRabin(3, 5));
    EXPECT_EQ(1, c.MillerRabin(4, 0)) << "no tests asked, none failed";
    EXPECT_EQ(0, c.MillerRabin(4, 5));
    EXPECT_EQ(1, c.MillerRabin(104729, 10));
    EXPECT_EQ(0, c.MillerRabin(104729LL * 3, 10));
}

TEST(DrmCrypto, GeneratesPrimesAndSafePrimes) {
    // Trial division up to 46,341 (its square passes 2^31) settles what the
    // generator's own Fermat rounds only make likely.
    auto prime = [](long long n) {
        if (n < 2) return false;
        for (long long d = 2; d <= 46341 && d * d <= n; ++d)
            if (n % d == 0) return false;
        return true;
    };
    CDrmCrypto c;
    std::set<long long> seen;
    for (int i = 0; i < 5; ++i) {
        long long const p = c.GeneratePrime(false);
        EXPECT_LT(p, 1LL << 31);
        EXPECT_TRUE(prime(p)) << p;
        seen.insert(p);
    }
    EXPECT_GT(seen.size(), 1u) << "the candidates are random";
    for (int i = 0; i < 2; ++i) {
        long long const s = c.GeneratePrime(true);
        EXPECT_LT(s, 1LL << 31);
        EXPECT_TRUE(prime(s) && prime((s - 1) / 2)) << s;
    }
}

} // namespace

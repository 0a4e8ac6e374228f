// AES with 32-bit T-tables. The tables are computed at compile time from the
// field arithmetic, so no hand-typed constants can be wrong. Byte order is
// handled by shifts only: the same code runs on little- and big-endian CPUs.
#include "dvrcore/aes.h"
#include "crypto/aes_cbc.h"

#include <array>
#include <cstring>

namespace {

constexpr uint8_t xtime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint32_t ror8(uint32_t w) { return (w >> 8) | (w << 24); }

constexpr uint32_t column(uint8_t r0, uint8_t r1, uint8_t r2, uint8_t r3) {
    return (uint32_t{r0} << 24) | (uint32_t{r1} << 16) | (uint32_t{r2} << 8) | r3;
}

struct Tables {
    std::array<uint8_t, 256> sbox{};
    std::array<uint8_t, 256> inv{};
    std::array<std::array<uint32_t, 256>, 4> te{};
    std::array<std::array<uint32_t, 256>, 4> td{};
};

constexpr Tables makeTables() {
    Tables t;
    // Multiplicative inverses through the powers of the generator 3.
    std::array<uint8_t, 256> exp{}, log{};
    uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
        exp[i] = x;
        log[x] = static_cast<uint8_t>(i);
        x = static_cast<uint8_t>(x ^ xtime(x));
    }
    for (int i = 0; i < 256; ++i) {
        uint8_t const b = i == 0 ? 0 : exp[(255 - log[i]) % 255];
        // Affine map: b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63.
        unsigned s = b;
        for (int k = 1; k <= 4; ++k) s ^= ((b << k) | (b >> (8 - k))) & 0xff;
        s ^= 0x63;
        t.sbox[i] = static_cast<uint8_t>(s);
        t.inv[s] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < 256; ++i) {
        uint8_t const s = t.sbox[i], v = t.inv[i];
        uint32_t e = column(gmul(s, 2), s, s, gmul(s, 3));
        uint32_t d = column(gmul(v, 14), gmul(v, 9), gmul(v, 13), gmul(v, 11));
        for (int k = 0; k < 4; ++k) {
            t.te[k][i] = e;
            t.td[k][i] = d;
            e = ror8(e);
            d = ror8(d);
        }
    }
    return t;
}

constexpr Tables kT = makeTables();
static_assert(kT.sbox[0x00] == 0x63 && kT.sbox[0x53] == 0xed && kT.inv[0x63] == 0x00);

constexpr auto const& Te0 = kT.te[0];
constexpr auto const& Te1 = kT.te[1];
constexpr auto const& Te2 = kT.te[2];
constexpr auto const& Te3 = kT.te[3];
constexpr auto const& Td0 = kT.td[0];
constexpr auto const& Td1 = kT.td[1];
constexpr auto const& Td2 = kT.td[2];
constexpr auto const& Td3 = kT.td[3];
constexpr auto const& S = kT.sbox;
constexpr auto const& Si = kT.inv;

inline uint32_t load32(unsigned char const* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void store32(unsigned char* p, uint32_t w) {
    p[0] = static_cast<unsigned char>(w >> 24);
    p[1] = static_cast<unsigned char>(w >> 16);
    p[2] = static_cast<unsigned char>(w >> 8);
    p[3] = static_cast<unsigned char>(w);
}

inline uint32_t subWord(uint32_t w) {
    return column(S[w >> 24], S[(w >> 16) & 0xff], S[(w >> 8) & 0xff], S[w & 0xff]);
}

bool validRounds(uint32_t r) { return r == 10 || r == 12 || r == 14; }

// FIPS-197 key expansion for Nk = 4, 6 or 8 key words.
void expandKey(unsigned char const* key, unsigned nk, uint32_t* w, uint32_t& rounds) {
    rounds = nk + 6;
    unsigned const total = 4 * (rounds + 1);
    for (unsigned i = 0; i < nk; ++i) w[i] = load32(key + 4 * i);
    uint8_t rcon = 1;
    for (unsigned i = nk; i < total; ++i) {
        uint32_t t = w[i - 1];
        if (i % nk == 0) {
            t = subWord((t << 8) | (t >> 24)) ^ (uint32_t{rcon} << 24);
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            t = subWord(t);
        }
        w[i] = w[i - nk] ^ t;
    }
}

// Decryption schedule of the equivalent inverse cipher: round keys reversed,
// InvMixColumns applied to all but the first and last.
void expandDecryptKey(unsigned char const* key, unsigned nk, aes_decrypt_ctx* cx) {
    uint32_t w[OX_AES_KS_WORDS];
    uint32_t rounds = 0;
    expandKey(key, nk, w, rounds);
    for (uint32_t r = 0; r <= rounds; ++r)
        for (unsigned c = 0; c < 4; ++c) {
            uint32_t k = w[4 * (rounds - r) + c];
            if (r != 0 && r != rounds)
                k = Td0[S[k >> 24]] ^ Td1[S[(k >> 16) & 0xff]] ^ Td2[S[(k >> 8) & 0xff]] ^ Td3[S[k & 0xff]];
            cx->ks[4 * r + c] = k;
        }
    cx->rounds = rounds;
    std::memset(w, 0, sizeof w);
}

#define OX_ENC_ROUND(d0, d1, d2, d3, s0, s1, s2, s3, rk)                                   \
    d0 = Te0[s0 >> 24] ^ Te1[(s1 >> 16) & 0xff] ^ Te2[(s2 >> 8) & 0xff] ^ Te3[s3 & 0xff] ^ (rk)[0]; \
    d1 = Te0[s1 >> 24] ^ Te1[(s2 >> 16) & 0xff] ^ Te2[(s3 >> 8) & 0xff] ^ Te3[s0 & 0xff] ^ (rk)[1]; \
    d2 = Te0[s2 >> 24] ^ Te1[(s3 >> 16) & 0xff] ^ Te2[(s0 >> 8) & 0xff] ^ Te3[s1 & 0xff] ^ (rk)[2]; \
    d3 = Te0[s3 >> 24] ^ Te1[(s0 >> 16) & 0xff] ^ Te2[(s1 >> 8) & 0xff] ^ Te3[s2 & 0xff] ^ (rk)[3]

#define OX_DEC_ROUND(d0, d1, d2, d3, s0, s1, s2, s3, rk)                                   \
    d0 = Td0[s0 >> 24] ^ Td1[(s3 >> 16) & 0xff] ^ Td2[(s2 >> 8) & 0xff] ^ Td3[s1 & 0xff] ^ (rk)[0]; \
    d1 = Td0[s1 >> 24] ^ Td1[(s0 >> 16) & 0xff] ^ Td2[(s3 >> 8) & 0xff] ^ Td3[s2 & 0xff] ^ (rk)[1]; \
    d2 = Td0[s2 >> 24] ^ Td1[(s1 >> 16) & 0xff] ^ Td2[(s0 >> 8) & 0xff] ^ Td3[s3 & 0xff] ^ (rk)[2]; \
    d3 = Td0[s3 >> 24] ^ Td1[(s2 >> 16) & 0xff] ^ Td2[(s1 >> 8) & 0xff] ^ Td3[s0 & 0xff] ^ (rk)[3]

// Encrypts the state in place; the caller has checked the round count.
inline void encryptWords(uint32_t s[4], uint32_t const* rk, uint32_t rounds) {
    uint32_t s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
    uint32_t t0, t1, t2, t3;
    // Two rounds per pass; the last round (no MixColumns) follows the loop.
    for (uint32_t r = rounds >> 1;;) {
        OX_ENC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4);
        rk += 8;
        if (--r == 0) break;
        OX_ENC_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk);
    }
    s[0] = column(S[t0 >> 24], S[(t1 >> 16) & 0xff], S[(t2 >> 8) & 0xff], S[t3 & 0xff]) ^ rk[0];
    s[1] = column(S[t1 >> 24], S[(t2 >> 16) & 0xff], S[(t3 >> 8) & 0xff], S[t0 & 0xff]) ^ rk[1];
    s[2] = column(S[t2 >> 24], S[(t3 >> 16) & 0xff], S[(t0 >> 8) & 0xff], S[t1 & 0xff]) ^ rk[2];
    s[3] = column(S[t3 >> 24], S[(t0 >> 16) & 0xff], S[(t1 >> 8) & 0xff], S[t2 & 0xff]) ^ rk[3];
}

inline void decryptWords(uint32_t s[4], uint32_t const* rk, uint32_t rounds) {
    uint32_t s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
    uint32_t t0, t1, t2, t3;
    for (uint32_t r = rounds >> 1;;) {
        OX_DEC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4);
        rk += 8;
        if (--r == 0) break;
        OX_DEC_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk);
    }
    s[0] = column(Si[t0 >> 24], Si[(t3 >> 16) & 0xff], Si[(t2 >> 8) & 0xff], Si[t1 & 0xff]) ^ rk[0];
    s[1] = column(Si[t1 >> 24], Si[(t0 >> 16) & 0xff], Si[(t3 >> 8) & 0xff], Si[t2 & 0xff]) ^ rk[1];
    s[2] = column(Si[t2 >> 24], Si[(t1 >> 16) & 0xff], Si[(t0 >> 8) & 0xff], Si[t3 & 0xff]) ^ rk[2];
    s[3] = column(Si[t3 >> 24], Si[(t2 >> 16) & 0xff], Si[(t1 >> 8) & 0xff], Si[t0 & 0xff]) ^ rk[3];
}

inline void loadBlock(unsigned char const* p, uint32_t s[4]) {
    for (int i = 0; i < 4; ++i) s[i] = load32(p + 4 * i);
}
inline void storeBlock(unsigned char* p, uint32_t const s[4]) {
    for (int i = 0; i < 4; ++i) store32(p + 4 * i, s[i]);
}

} // namespace

extern "C" {

int aes_encrypt_key128(unsigned char const* key, aes_encrypt_ctx* cx) {
    expandKey(key, 4, cx->ks, cx->rounds);
    return 0;
}
int aes_encrypt_key192(unsigned char const* key, aes_encrypt_ctx* cx) {
    expandKey(key, 6, cx->ks, cx->rounds);
    return 0;
}
int aes_encrypt_key256(unsigned char const* key, aes_encrypt_ctx* cx) {
    expandKey(key, 8, cx->ks, cx->rounds);
    return 0;
}
int aes_decrypt_key128(unsigned char const* key, aes_decrypt_ctx* cx) {
    expandDecryptKey(key, 4, cx);
    return 0;
}
int aes_decrypt_key192(unsigned char const* key, aes_decrypt_ctx* cx) {
    expandDecryptKey(key, 6, cx);
    return 0;
}
int aes_decrypt_key256(unsigned char const* key, aes_decrypt_ctx* cx) {
    expandDecryptKey(key, 8, cx);
    return 0;
}

int aes_encrypt_key(unsigned char const* key, int key_len, aes_encrypt_ctx* cx) {
    switch (key_len) {
    case 16: case 128: return aes_encrypt_key128(key, cx);
    case 24: case 192: return aes_encrypt_key192(key, cx);
    case 32: case 256: return aes_encrypt_key256(key, cx);
    default: return -1;
    }
}
int aes_decrypt_key(unsigned char const* key, int key_len, aes_decrypt_ctx* cx) {
    switch (key_len) {
    case 16: case 128: return aes_decrypt_key128(key, cx);
    case 24: case 192: return aes_decrypt_key192(key, cx);
    case 32: case 256: return aes_decrypt_key256(key, cx);
    default: return -1;
    }
}

int aes_encrypt(unsigned char const* in, unsigned char* out, aes_encrypt_ctx const* cx) {
    if (!validRounds(cx->rounds)) return OX_AES_BAD_ROUNDS;
    uint32_t s[4];
    loadBlock(in, s);
    encryptWords(s, cx->ks, cx->rounds);
    storeBlock(out, s);
    return 0;
}

int aes_decrypt(unsigned char const* in, unsigned char* out, aes_decrypt_ctx const* cx) {
    if (!validRounds(cx->rounds)) return OX_AES_BAD_ROUNDS;
    uint32_t s[4];
    loadBlock(in, s);
    decryptWords(s, cx->ks, cx->rounds);
    storeBlock(out, s);
    return 0;
}

} // extern "C"

namespace ox::crypto {

int aesCbcEncrypt(aes_encrypt_ctx const& cx, unsigned char const* iv, unsigned char* data, size_t blocks) {
    if (!validRounds(cx.rounds)) return OX_AES_BAD_ROUNDS;
    uint32_t s[4];
    loadBlock(iv, s);
    // The chaining value stays in registers from block to block.
    for (size_t b = 0; b < blocks; ++b, data += OX_AES_BLOCK_SIZE) {
        for (int i = 0; i < 4; ++i) s[i] ^= load32(data + 4 * i);
        encryptWords(s, cx.ks, cx.rounds);
        storeBlock(data, s);
    }
    return 0;
}

int aesCbcDecrypt(aes_decrypt_ctx const& cx, unsigned char const* iv, unsigned char const* in, unsigned char* out,
                  size_t blocks) {
    if (!validRounds(cx.rounds)) return OX_AES_BAD_ROUNDS;
    uint32_t prev[4];
    loadBlock(iv, prev);
    // Each ciphertext block is read before its plaintext is stored, so `out`
    // may sit at or before `in` in the same buffer.
    for (size_t b = 0; b < blocks; ++b, in += OX_AES_BLOCK_SIZE, out += OX_AES_BLOCK_SIZE) {
        uint32_t c[4], s[4];
        loadBlock(in, c);
        for (int i = 0; i < 4; ++i) s[i] = c[i];
        decryptWords(s, cx.ks, cx.rounds);
        for (int i = 0; i < 4; ++i) {
            s[i] ^= prev[i];
            prev[i] = c[i];
        }
        storeBlock(out, s);
    }
    return 0;
}

} // namespace ox::crypto

// SHA-2 with the round loop unrolled eight ways and a rolling 16-word message
// schedule. Words are assembled from bytes with shifts, so the code is the same
// on either byte order.
#include "dvrcore/sha2.h"

#include <cstring>

namespace {

constexpr uint32_t K256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint64_t K512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

constexpr uint32_t kInit224[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                  0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
constexpr uint32_t kInit256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint64_t kInit384[8] = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
                                  0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
                                  0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
constexpr uint64_t kInit512[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                  0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                  0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

inline uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }
inline uint64_t rotr(uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

inline uint32_t be32(unsigned char const* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t be64(unsigned char const* p) { return (uint64_t{be32(p)} << 32) | be32(p + 4); }
inline void put32(unsigned char* p, uint32_t w) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(w >> (24 - 8 * i));
}
inline void put64(unsigned char* p, uint64_t w) {
    put32(p, static_cast<uint32_t>(w >> 32));
    put32(p + 4, static_cast<uint32_t>(w));
}

#define OX_CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define OX_MAJ(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))

// One round; the caller rotates the roles of a..h instead of moving values.
// Maj(a,b,c) = ((a^b) & (b^c)) ^ b, and a^b is the next round's b^c: one
// operation less per round (`bc` carries it).
#define OX_R256(a, b, c, d, e, f, g, h, k, w)                                         \
    do {                                                                              \
        h += (k) + (w) + OX_CH(e, f, g) + rotr(rotr(rotr(e, 14) ^ e, 5) ^ e, 6);         \
        d += h;                                                                       \
        uint32_t const ab_ = a ^ b;                                                   \
        h += rotr(rotr(rotr(a, 9) ^ a, 11) ^ a, 2) + ((ab_ & bc) ^ b);                 \
        bc = ab_;                                                                     \
    } while (0)

#define OX_S256(i)                                                                    \
    (W[(i) & 15] += (rotr(W[((i) - 2) & 15], 17) ^ rotr(W[((i) - 2) & 15], 19) ^ (W[((i) - 2) & 15] >> 10)) + \
                    W[((i) - 7) & 15] +                                               \
                    (rotr(W[((i) - 15) & 15], 7) ^ rotr(W[((i) - 15) & 15], 18) ^ (W[((i) - 15) & 15] >> 3)))

void compress256(uint32_t* hash, unsigned char const* p, size_t blocks) {
    uint32_t W[16];
    for (; blocks--; p += OX_SHA256_BLOCK_SIZE) {
        uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
        uint32_t e = hash[4], f = hash[5], g = hash[6], h = hash[7];
        uint32_t bc = b ^ c;
#pragma GCC unroll 2
        for (unsigned j = 0; j < 16; j += 8) {
            OX_R256(a, b, c, d, e, f, g, h, K256[j + 0], W[j + 0] = be32(p + 4 * (j + 0)));
            OX_R256(h, a, b, c, d, e, f, g, K256[j + 1], W[j + 1] = be32(p + 4 * (j + 1)));
            OX_R256(g, h, a, b, c, d, e, f, K256[j + 2], W[j + 2] = be32(p + 4 * (j + 2)));
            OX_R256(f, g, h, a, b, c, d, e, K256[j + 3], W[j + 3] = be32(p + 4 * (j + 3)));
            OX_R256(e, f, g, h, a, b, c, d, K256[j + 4], W[j + 4] = be32(p + 4 * (j + 4)));
            OX_R256(d, e, f, g, h, a, b, c, K256[j + 5], W[j + 5] = be32(p + 4 * (j + 5)));
            OX_R256(c, d, e, f, g, h, a, b, K256[j + 6], W[j + 6] = be32(p + 4 * (j + 6)));
            OX_R256(b, c, d, e, f, g, h, a, K256[j + 7], W[j + 7] = be32(p + 4 * (j + 7)));
        }
#pragma GCC unroll 6
        for (unsigned j = 16; j < 64; j += 8) {
            OX_R256(a, b, c, d, e, f, g, h, K256[j + 0], OX_S256(j + 0));
            OX_R256(h, a, b, c, d, e, f, g, K256[j + 1], OX_S256(j + 1));
            OX_R256(g, h, a, b, c, d, e, f, K256[j + 2], OX_S256(j + 2));
            OX_R256(f, g, h, a, b, c, d, e, K256[j + 3], OX_S256(j + 3));
            OX_R256(e, f, g, h, a, b, c, d, K256[j + 4], OX_S256(j + 4));
            OX_R256(d, e, f, g, h, a, b, c, K256[j + 5], OX_S256(j + 5));
            OX_R256(c, d, e, f, g, h, a, b, K256[j + 6], OX_S256(j + 6));
            OX_R256(b, c, d, e, f, g, h, a, K256[j + 7], OX_S256(j + 7));
        }
        hash[0] += a; hash[1] += b; hash[2] += c; hash[3] += d;
        hash[4] += e; hash[5] += f; hash[6] += g; hash[7] += h;
    }
}

#define OX_R512(a, b, c, d, e, f, g, h, k, w)                                         \
    do {                                                                              \
        uint64_t t1_ = h + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) + OX_CH(e, f, g) + (k) + (w); \
        d += t1_;                                                                     \
        h = t1_ + (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + OX_MAJ(a, b, c);        \
    } while (0)

#define OX_S512(i)                                                                    \
    (W[(i) & 15] += (rotr(W[((i) - 2) & 15], 19) ^ rotr(W[((i) - 2) & 15], 61) ^ (W[((i) - 2) & 15] >> 6)) + \
                    W[((i) - 7) & 15] +                                               \
                    (rotr(W[((i) - 15) & 15], 1) ^ rotr(W[((i) - 15) & 15], 8) ^ (W[((i) - 15) & 15] >> 7)))

void compress512(uint64_t* hash, unsigned char const* p, size_t blocks) {
    uint64_t W[16];
    for (; blocks--; p += OX_SHA512_BLOCK_SIZE) {
        uint64_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
        uint64_t e = hash[4], f = hash[5], g = hash[6], h = hash[7];
        for (unsigned j = 0; j < 16; j += 8) {
            OX_R512(a, b, c, d, e, f, g, h, K512[j + 0], W[j + 0] = be64(p + 8 * (j + 0)));
            OX_R512(h, a, b, c, d, e, f, g, K512[j + 1], W[j + 1] = be64(p + 8 * (j + 1)));
            OX_R512(g, h, a, b, c, d, e, f, K512[j + 2], W[j + 2] = be64(p + 8 * (j + 2)));
            OX_R512(f, g, h, a, b, c, d, e, K512[j + 3], W[j + 3] = be64(p + 8 * (j + 3)));
            OX_R512(e, f, g, h, a, b, c, d, K512[j + 4], W[j + 4] = be64(p + 8 * (j + 4)));
            OX_R512(d, e, f, g, h, a, b, c, K512[j + 5], W[j + 5] = be64(p + 8 * (j + 5)));
            OX_R512(c, d, e, f, g, h, a, b, K512[j + 6], W[j + 6] = be64(p + 8 * (j + 6)));
            OX_R512(b, c, d, e, f, g, h, a, K512[j + 7], W[j + 7] = be64(p + 8 * (j + 7)));
        }
        for (unsigned j = 16; j < 80; j += 8) {
            OX_R512(a, b, c, d, e, f, g, h, K512[j + 0], OX_S512(j + 0));
            OX_R512(h, a, b, c, d, e, f, g, K512[j + 1], OX_S512(j + 1));
            OX_R512(g, h, a, b, c, d, e, f, K512[j + 2], OX_S512(j + 2));
            OX_R512(f, g, h, a, b, c, d, e, K512[j + 3], OX_S512(j + 3));
            OX_R512(e, f, g, h, a, b, c, d, K512[j + 4], OX_S512(j + 4));
            OX_R512(d, e, f, g, h, a, b, c, K512[j + 5], OX_S512(j + 5));
            OX_R512(c, d, e, f, g, h, a, b, K512[j + 6], OX_S512(j + 6));
            OX_R512(b, c, d, e, f, g, h, a, K512[j + 7], OX_S512(j + 7));
        }
        hash[0] += a; hash[1] += b; hash[2] += c; hash[3] += d;
        hash[4] += e; hash[5] += f; hash[6] += g; hash[7] += h;
    }
}

// Shared buffering of both families: fill the partial block, then hash whole
// blocks straight from the caller's data, then keep the tail.
template <class Ctx, size_t Block, class Compress>
void absorb(Ctx* ctx, unsigned char const* data, size_t len, size_t used, Compress compress) {
    if (used) {
        size_t const take = len < Block - used ? len : Block - used;
        std::memcpy(ctx->buf + used, data, take);
        data += take;
        len -= take;
        if (used + take < Block) return;
        compress(ctx->hash, ctx->buf, 1);
    }
    if (size_t const whole = len / Block) {
        compress(ctx->hash, data, whole);
        data += whole * Block;
        len -= whole * Block;
    }
    if (len) std::memcpy(ctx->buf, data, len);
}

// Appends 0x80, zeros and the big-endian bit count (in `lenBytes` bytes).
template <class Ctx, size_t Block, class Compress>
void finish(Ctx* ctx, size_t used, uint64_t bitsHigh, uint64_t bitsLow, Compress compress) {
    size_t const lenBytes = Block / 8; // 8 for SHA-256, 16 for SHA-512
    ctx->buf[used++] = 0x80;
    if (used > Block - lenBytes) {
        std::memset(ctx->buf + used, 0, Block - used);
        compress(ctx->hash, ctx->buf, 1);
        used = 0;
    }
    std::memset(ctx->buf + used, 0, Block - lenBytes - used);
    if (lenBytes == 16) put64(ctx->buf + Block - 16, bitsHigh);
    put64(ctx->buf + Block - 8, bitsLow);
    compress(ctx->hash, ctx->buf, 1);
}

uint64_t bytes256(sha256_ctx const* ctx) { return (uint64_t{ctx->count[1]} << 32) | ctx->count[0]; }

void end256(unsigned char* digest, sha256_ctx* ctx, unsigned words) {
    uint64_t const bytes = bytes256(ctx);
    finish<sha256_ctx, OX_SHA256_BLOCK_SIZE>(ctx, static_cast<size_t>(bytes % OX_SHA256_BLOCK_SIZE), 0, bytes << 3,
                                             compress256);
    for (unsigned i = 0; i < words; ++i) put32(digest + 4 * i, ctx->hash[i]);
}

void end512(unsigned char* digest, sha512_ctx* ctx, unsigned words) {
    uint64_t const low = ctx->count[0], high = ctx->count[1];
    finish<sha512_ctx, OX_SHA512_BLOCK_SIZE>(ctx, static_cast<size_t>(low % OX_SHA512_BLOCK_SIZE),
                                             (high << 3) | (low >> 61), low << 3, compress512);
    for (unsigned i = 0; i < words; ++i) put64(digest + 8 * i, ctx->hash[i]);
}

template <class Ctx, class Word>
void begin(Ctx* ctx, Word const (&init)[8]) {
    std::memset(ctx, 0, sizeof *ctx);
    std::memcpy(ctx->hash, init, sizeof init);
}

} // namespace

extern "C" {

void sha224_begin(sha256_ctx* ctx) { begin(ctx, kInit224); }
void sha256_begin(sha256_ctx* ctx) { begin(ctx, kInit256); }
void sha384_begin(sha512_ctx* ctx) { begin(ctx, kInit384); }
void sha512_begin(sha512_ctx* ctx) { begin(ctx, kInit512); }

void sha256_hash(unsigned char const* data, size_t len, sha256_ctx* ctx) {
    if (len == 0) return;
    uint64_t const before = bytes256(ctx);
    uint64_t const after = before + len;
    ctx->count[0] = static_cast<uint32_t>(after);
    ctx->count[1] = static_cast<uint32_t>(after >> 32);
    absorb<sha256_ctx, OX_SHA256_BLOCK_SIZE>(ctx, data, len, static_cast<size_t>(before % OX_SHA256_BLOCK_SIZE),
                                             compress256);
}

void sha512_hash(unsigned char const* data, size_t len, sha512_ctx* ctx) {
    if (len == 0) return;
    size_t const used = static_cast<size_t>(ctx->count[0] % OX_SHA512_BLOCK_SIZE);
    uint64_t const low = ctx->count[0] + len;
    if (low < ctx->count[0]) ++ctx->count[1];
    ctx->count[0] = low;
    absorb<sha512_ctx, OX_SHA512_BLOCK_SIZE>(ctx, data, len, used, compress512);
}

void sha256_compile(sha256_ctx* ctx) { compress256(ctx->hash, ctx->buf, 1); }
void sha512_compile(sha512_ctx* ctx) { compress512(ctx->hash, ctx->buf, 1); }

void sha224_end(unsigned char* digest, sha256_ctx* ctx) { end256(digest, ctx, 7); }
void sha256_end(unsigned char* digest, sha256_ctx* ctx) { end256(digest, ctx, 8); }
void sha384_end(unsigned char* digest, sha512_ctx* ctx) { end512(digest, ctx, 6); }
void sha512_end(unsigned char* digest, sha512_ctx* ctx) { end512(digest, ctx, 8); }

int sha2_begin(uint32_t size, sha2_ctx* ctx) {
    switch (size) {
    case 224: case OX_SHA224_DIGEST_SIZE:
        sha224_begin(&ctx->uu.ctx256);
        ctx->digest_size = OX_SHA224_DIGEST_SIZE;
        break;
    case 256: case OX_SHA256_DIGEST_SIZE:
        sha256_begin(&ctx->uu.ctx256);
        ctx->digest_size = OX_SHA256_DIGEST_SIZE;
        break;
    case 384: case OX_SHA384_DIGEST_SIZE:
        sha384_begin(&ctx->uu.ctx512);
        ctx->digest_size = OX_SHA384_DIGEST_SIZE;
        break;
    case 512: case OX_SHA512_DIGEST_SIZE:
        sha512_begin(&ctx->uu.ctx512);
        ctx->digest_size = OX_SHA512_DIGEST_SIZE;
        break;
    default: return 1;
    }
    ctx->reserved = 0;
    return 0;
}

void sha2_hash(unsigned char const* data, size_t len, sha2_ctx* ctx) {
    if (ctx->digest_size <= OX_SHA256_DIGEST_SIZE)
        sha256_hash(data, len, &ctx->uu.ctx256);
    else
        sha512_hash(data, len, &ctx->uu.ctx512);
}

void sha2_end(unsigned char* digest, sha2_ctx* ctx) {
    switch (ctx->digest_size) {
    case OX_SHA224_DIGEST_SIZE: sha224_end(digest, &ctx->uu.ctx256); break;
    case OX_SHA256_DIGEST_SIZE: sha256_end(digest, &ctx->uu.ctx256); break;
    case OX_SHA384_DIGEST_SIZE: sha384_end(digest, &ctx->uu.ctx512); break;
    case OX_SHA512_DIGEST_SIZE: sha512_end(digest, &ctx->uu.ctx512); break;
    default: break; // not started by sha2_begin: nothing to write
    }
}

void sha224(unsigned char* digest, unsigned char const* data, size_t len) {
    sha256_ctx c;
    sha224_begin(&c);
    sha256_hash(data, len, &c);
    sha224_end(digest, &c);
}
void sha256(unsigned char* digest, unsigned char const* data, size_t len) {
    sha256_ctx c;
    sha256_begin(&c);
    sha256_hash(data, len, &c);
    sha256_end(digest, &c);
}
void sha384(unsigned char* digest, unsigned char const* data, size_t len) {
    sha512_ctx c;
    sha384_begin(&c);
    sha512_hash(data, len, &c);
    sha384_end(digest, &c);
}
void sha512(unsigned char* digest, unsigned char const* data, size_t len) {
    sha512_ctx c;
    sha512_begin(&c);
    sha512_hash(data, len, &c);
    sha512_end(digest, &c);
}

} // extern "C"

/*
 * For plugin authors: SHA-2 digests (FIPS 180-4), SHA-224, SHA-256, SHA-384
 * and SHA-512, exported by the core executable under these unmangled names.
 * Self-contained C (C99 and later) and C++; every function
 * works on a context record owned by the caller.
 *
 * SHA-224 and SHA-256 share sha256_ctx and sha256_hash; SHA-384 and SHA-512
 * share sha512_ctx and sha512_hash. sha2_ctx carries either, chosen by size.
 */
#ifndef OX_CRYPTO_SHA2_H
#define OX_CRYPTO_SHA2_H

#include <stddef.h>
#include <stdint.h>

#define OX_SHA224_DIGEST_SIZE 28
#define OX_SHA256_DIGEST_SIZE 32
#define OX_SHA384_DIGEST_SIZE 48
#define OX_SHA512_DIGEST_SIZE 64
#define OX_SHA256_BLOCK_SIZE 64
#define OX_SHA512_BLOCK_SIZE 128

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sha256_ctx {
    uint32_t hash[8];   /* chaining state */
    uint32_t count[2];  /* bytes hashed so far: low word, high word */
    uint8_t buf[OX_SHA256_BLOCK_SIZE]; /* partial block */
} sha256_ctx;

typedef struct sha512_ctx {
    uint64_t hash[8];
    uint64_t count[2];  /* bytes hashed so far: low word, high word */
    uint8_t buf[OX_SHA512_BLOCK_SIZE];
} sha512_ctx;

typedef struct sha2_ctx {
    union {
        sha256_ctx ctx256;
        sha512_ctx ctx512;
    } uu;
    uint32_t digest_size; /* 28, 32, 48 or 64 bytes */
    uint32_t reserved;
} sha2_ctx;

void sha224_begin(sha256_ctx* ctx);
void sha256_begin(sha256_ctx* ctx);
void sha384_begin(sha512_ctx* ctx);
void sha512_begin(sha512_ctx* ctx);

/* Add `len` bytes; any length, any number of calls. */
void sha256_hash(const unsigned char* data, size_t len, sha256_ctx* ctx);
void sha512_hash(const unsigned char* data, size_t len, sha512_ctx* ctx);

/* Process the one full block held in ctx->buf. */
void sha256_compile(sha256_ctx* ctx);
void sha512_compile(sha512_ctx* ctx);

/* Finish: pad, and write the 28-, 32-, 48- or 64-byte digest. */
void sha224_end(unsigned char* digest, sha256_ctx* ctx);
void sha256_end(unsigned char* digest, sha256_ctx* ctx);
void sha384_end(unsigned char* digest, sha512_ctx* ctx);
void sha512_end(unsigned char* digest, sha512_ctx* ctx);

/* Size in bits (224, 256, 384, 512) or bytes (28, 32, 48, 64): returns 0, or
 * 1 for any other size (context untouched). */
int sha2_begin(uint32_t size, sha2_ctx* ctx);
void sha2_hash(const unsigned char* data, size_t len, sha2_ctx* ctx);
void sha2_end(unsigned char* digest, sha2_ctx* ctx);

/* One-call digests of one buffer. */
void sha224(unsigned char* digest, const unsigned char* data, size_t len);
void sha256(unsigned char* digest, const unsigned char* data, size_t len);
void sha384(unsigned char* digest, const unsigned char* data, size_t len);
void sha512(unsigned char* digest, const unsigned char* data, size_t len);

#ifdef __cplusplus
}
#endif
#if defined(__cplusplus)
#define OX_SHA2_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OX_SHA2_STATIC_ASSERT _Static_assert
#else /* C99: GCC and Clang take the C11 form as an extension */
#define OX_SHA2_STATIC_ASSERT __extension__ _Static_assert
#endif

/* Same layout on the 32-bit appliance and on LP64 hosts. */
OX_SHA2_STATIC_ASSERT(sizeof(sha256_ctx) == 104, "sha256_ctx is 104 bytes");
OX_SHA2_STATIC_ASSERT(sizeof(sha512_ctx) == 208, "sha512_ctx is 208 bytes");
OX_SHA2_STATIC_ASSERT(sizeof(sha2_ctx) == 216, "sha2_ctx is 216 bytes");
OX_SHA2_STATIC_ASSERT(offsetof(sha2_ctx, digest_size) == 208, "digest_size after the union");

#undef OX_SHA2_STATIC_ASSERT

#endif /* OX_CRYPTO_SHA2_H */

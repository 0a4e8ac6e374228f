/*
 * For plugin authors: the AES block cipher (FIPS-197) for 128-, 192- and
 * 256-bit keys, exported by the core executable under these unmangled names.
 * Self-contained C (C99 and later) and C++; each function works
 * on a context record owned by the caller.
 *
 * Return codes: 0 on success; the key selectors return -1 for an unknown key
 * length; aes_encrypt/aes_decrypt return OX_AES_BAD_ROUNDS for a context whose
 * round count is not 10, 12 or 14 (e.g. one that was never keyed).
 */
#ifndef OX_CRYPTO_AES_H
#define OX_CRYPTO_AES_H

#include <stddef.h>
#include <stdint.h>

#define OX_AES_BLOCK_SIZE 16
#define OX_AES_MAX_ROUNDS 14
#define OX_AES_KS_WORDS (4 * (OX_AES_MAX_ROUNDS + 1)) /* 60 round-key words */
#define OX_AES_BAD_ROUNDS 1

#ifdef __cplusplus
extern "C" {
#endif

/* Expanded key: round keys as big-endian column words, and the round count. */
typedef struct aes_encrypt_ctx {
    uint32_t ks[OX_AES_KS_WORDS];
    uint32_t rounds; /* 10, 12 or 14 once keyed */
} aes_encrypt_ctx;

/* Round keys in the order of the equivalent inverse cipher. */
typedef struct aes_decrypt_ctx {
    uint32_t ks[OX_AES_KS_WORDS];
    uint32_t rounds;
} aes_decrypt_ctx;

/* Key expansion; `key` holds 16, 24 or 32 bytes. Always return 0. */
int aes_encrypt_key128(const unsigned char* key, aes_encrypt_ctx* cx);
int aes_encrypt_key192(const unsigned char* key, aes_encrypt_ctx* cx);
int aes_encrypt_key256(const unsigned char* key, aes_encrypt_ctx* cx);
int aes_decrypt_key128(const unsigned char* key, aes_decrypt_ctx* cx);
int aes_decrypt_key192(const unsigned char* key, aes_decrypt_ctx* cx);
int aes_decrypt_key256(const unsigned char* key, aes_decrypt_ctx* cx);

/* Key expansion chosen by length: 16, 24, 32 (bytes) or 128, 192, 256 (bits);
 * any other length returns -1 and leaves the context untouched. */
int aes_encrypt_key(const unsigned char* key, int key_len, aes_encrypt_ctx* cx);
int aes_decrypt_key(const unsigned char* key, int key_len, aes_decrypt_ctx* cx);

/* One 16-byte block; `in` and `out` may be the same buffer. */
int aes_encrypt(const unsigned char* in, unsigned char* out, const aes_encrypt_ctx* cx);
int aes_decrypt(const unsigned char* in, unsigned char* out, const aes_decrypt_ctx* cx);

#ifdef __cplusplus
}
#endif
#if defined(__cplusplus)
#define OX_AES_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OX_AES_STATIC_ASSERT _Static_assert
#else /* C99: GCC and Clang take the C11 form as an extension */
#define OX_AES_STATIC_ASSERT __extension__ _Static_assert
#endif

/* Same layout on the 32-bit appliance and on LP64 hosts. */
OX_AES_STATIC_ASSERT(sizeof(aes_encrypt_ctx) == 244, "aes_encrypt_ctx is 244 bytes");
OX_AES_STATIC_ASSERT(sizeof(aes_decrypt_ctx) == 244, "aes_decrypt_ctx is 244 bytes");
OX_AES_STATIC_ASSERT(offsetof(aes_encrypt_ctx, rounds) == 240, "rounds after the key schedule");

#undef OX_AES_STATIC_ASSERT

#endif /* OX_CRYPTO_AES_H */

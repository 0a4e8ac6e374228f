// CBC over the block cipher, for the core's own transformed format. Internal:
// plugins get the block functions of aes.h.
#pragma once

#include "dvrcore/aes.h"

#include <cstddef>

namespace ox::crypto {

/// Encrypts `blocks` 16-byte blocks of `data` in place, chaining from `iv`.
/// Returns 0, or OX_AES_BAD_ROUNDS for an unkeyed context.
int aesCbcEncrypt(aes_encrypt_ctx const& cx, unsigned char const* iv, unsigned char* data, size_t blocks);

/// Decrypts `blocks` blocks from `in` to `out`, chaining from `iv`; `out` may
/// equal `in` or lie before it in the same buffer. Returns 0 or OX_AES_BAD_ROUNDS.
int aesCbcDecrypt(aes_decrypt_ctx const& cx, unsigned char const* iv, unsigned char const* in, unsigned char* out,
                  size_t blocks);

} // namespace ox::crypto

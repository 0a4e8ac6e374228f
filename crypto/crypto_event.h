// The core's handling of crypto events: a plugin's buffer encrypted or
// decrypted in place with the key derived from the machine identity.
#pragma once

#include "dvrcore/event_parms.h"

#include <cstdint>
#include <string>

namespace ox::crypto {

inline constexpr uint32_t kCryptoOpMask = 0x00FFFFFFu; ///< operation bits of `flags`
inline constexpr uint32_t kCryptoEncrypt = 2;          ///< content is plain; also the state after decrypting
inline constexpr uint32_t kCryptoDecrypt = 1024;       ///< content is an image; also the state after encrypting

inline constexpr int kCryptoDone = 0;
inline constexpr int kCryptoBadOperation = -1;
inline constexpr int kCryptoBadLength = -2;
inline constexpr int kCryptoFailed = -13;

/// The 32-byte cipher key of a machine identity (its SHA-256 digest), or an
/// empty string for an empty identity (the built-in key stays in force).
std::string cryptoKeyOf(std::string const& machineId);

/// Transforms the content of a crypto event in place. `rec.data` holds
/// `rec.dataLen` bytes (the capacity); `rec.level` is the content length.
/// Returns kCryptoDone with content, length and `flags` updated; a positive n
/// when the result needs n bytes, more than `dataLen` (record unchanged);
/// kCryptoBadOperation; kCryptoBadLength (no buffer, or a content length that
/// is zero, negative or beyond `dataLen`); kCryptoFailed (nothing decrypted).
/// Never touches bytes outside the poster's buffer; thread-safe.
int handleCryptoEvent(ox::core::EventParms& rec, std::string const& machineId);

} // namespace ox::crypto

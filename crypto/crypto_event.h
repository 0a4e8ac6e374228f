// The core's handling of crypto events: a plugin's buffer encrypted or
// decrypted in place with the key derived from the machine identity.
#pragma once

#include "dvrcore/crypto_event.h"
#include "dvrcore/event_parms.h"

#include <cstdint>
#include <string>

namespace ox::crypto {

/// The 32-byte cipher key of a machine identity (its SHA-256 digest), or an
/// empty string for an empty identity (the built-in key stays in force).
std::string cryptoKeyOf(std::string const& machineId);

/// Transforms the content of a crypto event in place. `rec.data` holds
/// `rec.dataLen` bytes (the capacity); `rec.level` is the content length.
/// Returns OX_CRYPTO_DONE with content, length and `flags` updated; a positive
/// n when the result needs n bytes, more than `dataLen` (record unchanged);
/// OX_CRYPTO_BAD_OPERATION; OX_CRYPTO_BAD_LENGTH (no buffer, or a content
/// length that is zero, negative or beyond `dataLen`); OX_CRYPTO_FAILED
/// (nothing decrypted).
/// Never touches bytes outside the poster's buffer; thread-safe.
int handleCryptoEvent(ox::core::EventParms& rec, std::string const& machineId);

} // namespace ox::crypto

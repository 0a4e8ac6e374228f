/*
 * Crypto utilities the core exports to plugins: the AES block cipher, the
 * SHA-2 digests and the identifier record. Self-contained C. The identifier
 * functions and the transformed-file encryptor are C++ (dvrcore/guid.h,
 * dvrcore/encryptor.h).
 */
#ifndef OX_CRYPTO_OX_CRYPTO_H
#define OX_CRYPTO_OX_CRYPTO_H

#include "aes.h"
#include "guid.h"
#include "sha2.h"

#endif /* OX_CRYPTO_OX_CRYPTO_H */

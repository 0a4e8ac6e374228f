/*
 * For plugin authors, one include for the crypto utilities the core exports:
 * the AES block cipher, the SHA-2 digests and the identifier record.
 * Self-contained C (C99 and later) and C++. The identifier
 * functions and the transformed-file encryptor are C++ (dvrcore/guid.h,
 * dvrcore/encryptor.h).
 */
#ifndef OX_CRYPTO_OX_CRYPTO_H
#define OX_CRYPTO_OX_CRYPTO_H

#include "aes.h"
#include "guid.h"
#include "sha2.h"

#endif /* OX_CRYPTO_OX_CRYPTO_H */

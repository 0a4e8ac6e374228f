/*
 * For plugin authors: crypto events, by which the core encrypts or decrypts a
 * plugin's buffer in place with a key derived from the machine identity.
 * Post an event record (dvrcore/event_parms.h) with `type` OX_TYPE_CRYPTO;
 * the core transforms the buffer on the posting thread before the callback
 * returns, and never queues the record. Self-contained C (C99 and later) and
 * C++.
 *
 * Fields of the record:
 *   data      in      the buffer, transformed in place; the poster's
 *   dataLen   in      the buffer's size (its capacity), not the content length
 *   level     in/out  content length: the bytes of content at the start of data
 *   flags     in/out  operation in bits 0..23 (OX_CRYPTO_ENCRYPT or
 *                     OX_CRYPTO_DECRYPT); on success the whole word becomes
 *                     the state of the result (OX_CRYPTO_DECRYPT after
 *                     encrypting, OX_CRYPTO_ENCRYPT after decrypting)
 * An image is 16 bytes plus the content padded with zero bytes to a multiple
 * of 16 (10 bytes of content give 32). Decrypting ends the content at its
 * first zero byte, so content with zero bytes does not come back whole; the
 * buffer past the decrypted content is zeroed.
 *
 * The callback returns OX_CRYPTO_DONE, a positive n when the result needs n
 * bytes, more than `dataLen` (the record and buffer are then unchanged), or
 * one of the negative results below.
 */
#ifndef OX_CRYPTO_CRYPTO_EVENT_H
#define OX_CRYPTO_CRYPTO_EVENT_H

/* Operation bits of `flags`, and the state of the content after success. */
#define OX_CRYPTO_OP_MASK 0x00FFFFFFu
#define OX_CRYPTO_ENCRYPT 2u    /* the content is plain; the state after decrypting */
#define OX_CRYPTO_DECRYPT 1024u /* the content is an image; the state after encrypting */

/* Results of the post. */
#define OX_CRYPTO_DONE 0            /* content, `level` and `flags` updated */
#define OX_CRYPTO_BAD_OPERATION (-1) /* operation bits neither encrypt nor decrypt */
#define OX_CRYPTO_BAD_LENGTH (-2)    /* no buffer, or content length 0, negative or beyond dataLen */
#define OX_CRYPTO_FAILED (-13)       /* nothing changed: the image could not be made, or not be
                                      * decrypted (wrong key or not an image) */

#endif /* OX_CRYPTO_CRYPTO_EVENT_H */

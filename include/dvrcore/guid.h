/*
 * For plugin authors: random 128-bit identifiers and initialisation vectors
 * from the system's random source, and their text form, all exported by the
 * core executable. The record is C; the functions have C++ linkage
 * (GuidToText takes a reference) and are declared for C++ only.
 */
#ifndef OX_CRYPTO_GUID_H
#define OX_CRYPTO_GUID_H

#include <stddef.h>
#include <stdint.h>

/* 16 bytes in host byte order. */
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} _GUID;

#if defined(__cplusplus)
#define OX_GUID_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OX_GUID_STATIC_ASSERT _Static_assert
#else /* C99: GCC and Clang take the C11 form as an extension */
#define OX_GUID_STATIC_ASSERT __extension__ _Static_assert
#endif
OX_GUID_STATIC_ASSERT(sizeof(_GUID) == 16, "_GUID is 16 bytes");
OX_GUID_STATIC_ASSERT(offsetof(_GUID, Data2) == 4, "Data2");
OX_GUID_STATIC_ASSERT(offsetof(_GUID, Data3) == 6, "Data3");
OX_GUID_STATIC_ASSERT(offsetof(_GUID, Data4) == 8, "Data4");
#undef OX_GUID_STATIC_ASSERT

#define OX_GUID_TEXT_SIZE 37 /* 36 characters and the terminating zero */
#define OX_GUID_EXIT_STATUS 74 /* process exit status when the random source fails */

#ifdef __cplusplus
/// Fills `guid` with 16 bytes from "/dev/urandom" (no version or variant bits)
/// and returns 0. Does not return if the device cannot be opened or read: the
/// process ends with status 74 and a message on standard error.
int CoCreateGuid(_GUID* guid);

/// Writes 16 random bytes (one CoCreateGuid result) to `iv`; same failure rule.
void GenerateIV16(char* iv);

/// Writes the 36-character lowercase 8-4-4-4-12 text and a zero byte to `text`
/// and returns 1; returns 0 without writing when `size` is below 37.
int GuidToText(_GUID const& guid, char* text, unsigned size);
#endif

#endif /* OX_CRYPTO_GUID_H */

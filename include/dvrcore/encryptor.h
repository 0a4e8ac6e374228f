// For plugin authors: the transformed buffer and file format (optional zlib
// compression, optional AES-128-CBC encryption, no header). The core executable
// exports the class (C++ linkage); plugins call its copy.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

/// Turns bytes into a transformed image and back, inside one caller-supplied
/// work buffer. The image carries no header: the reader must construct the
/// encryptor with the same two flags and set the same key.
///
/// Results are integer codes (TransformResult); nothing is thrown to callers.
/// An instance and its work buffer belong to one thread at a time.
class COrvelEncryptor {
public:
    enum EncryptionMode : uint32_t {
        Key16 = 0, ///< 16-byte key
        Key32 = 1, ///< 32-byte key; only the first 16 bytes key the cipher
    };

    /// Result codes; the secondary number (zlib code or errno) travels beside.
    enum TransformResult : int {
        Ok = 0,
        CompressMemory = -1,
        CompressBuffer = -2,
        CompressFailed = -3,
        DecompressMemory = -10,
        DecompressBuffer = -11,
        DecompressCorrupt = -12,
        DecompressFailed = -13,
        WorkBufferInvalid = -20,
        WorkBufferTooSmall = -21,
        InputInvalid = -22, ///< also: an encrypted image that is not 16 + 16k bytes
        VerifyMemory = -30,
        VerifySize = -31,
        VerifyData = -32,
        SaveNoFile = -33,
        SaveWrite = -34,
        LoadLocate = -40,
        LoadOpen = -41,
        LoadSeek = -42,
        LoadMemory = -43,
        LoadRead = -44,
    };

    static constexpr uint32_t kBlock = 16;    ///< cipher block and C0 size
    static constexpr uint32_t kSlack = 32;    ///< work-buffer room beyond input and padding
    static constexpr uint32_t kKeyGroup = 8;  ///< length of the repeated default-key group

    /// (compress, encrypt): zero padding, 16-byte default key, no work buffer.
    COrvelEncryptor(bool compress, bool encrypt);

    /// Back to zero padding and key mode Key16 (the key itself is kept).
    void Init();
    /// Resizes `key` to `length` and fills it with the built-in key group.
    static void MakeDefaultKey(std::string& key, uint32_t length);
    /// Key of 16 (Key16) or 32 bytes: the first bytes of `key`, zero-filled.
    void SetKey(std::string const& key, EncryptionMode mode);

    /// Transforms `length` bytes of `in` into the work buffer. Returns the work
    /// buffer with `length` set to the image length, or null with `length` 0,
    /// `error` set and, for compression failures, `zerror` set to zlib's code.
    /// Work buffer: at least length + kSlack + 16 bytes (the padding is at
    /// most 16), else WorkBufferTooSmall.
    unsigned char* TransformBuffer(unsigned char const* in, uint32_t& length, int& error, int& zerror);
    /// The inverse: returns a pointer into the work buffer and the restored length.
    /// Work buffer: at least the image length, and
    /// - encrypt only, or neither: the image length;
    /// - compress only: the restored length;
    /// - compress and encrypt: image length + restored length (the output goes
    ///   behind the image, at lastOutputOffset). No room at all behind it is
    ///   WorkBufferTooSmall; some room but too little is DecompressBuffer.
    unsigned char* DetransformBuffer(unsigned char const* in, uint32_t& length, int& error, int& zerror);

    /// zlib compress2 at the default level; `outLength` in: room, out: bytes (0 on failure).
    int Compress(unsigned char const* in, uint32_t inLength, unsigned char* out, uint32_t& outLength, int& zerror);
    /// zlib uncompress; `outLength` in: room, out: bytes (0 on failure).
    int Decompress(unsigned char const* in, uint32_t inLength, unsigned char* out, uint32_t& outLength, int& zerror);

    /// Pads and encrypts `length` bytes at `data` in place, writing C0 to the
    /// 16 bytes at `iv` (which must be data - 16); the padding goes after the
    /// data, so the buffer must have room for it. `length` becomes the image
    /// length (16 + data + padding). Returns 0 or a code.
    int Encrypt(unsigned char* data, unsigned char* iv, uint32_t& length);
    /// Decrypts the image `in` of `length` bytes to `out`, strips the padding
    /// and writes a zero byte after the result (`out` needs length - 15 bytes).
    /// `length` becomes the plaintext length. Returns 0 or InputInvalid.
    int Decrypt(unsigned char const* in, unsigned char* out, uint32_t& length);

    /// Transforms, verifies by detransforming a copy, then writes the image
    /// with one fwrite. A failed verification writes nothing.
    /// Work buffer: as TransformBuffer; with compression and encryption also
    /// image length + length, checked before the read-back (WorkBufferTooSmall,
    /// verifyFailed false). 2 * length + length / 1024 + 96 bytes is always enough.
    int SaveTransformedFile(unsigned char const* data, uint32_t length, FILE* out, int& zerror, bool& verifyFailed);

    /// Reads `size` bytes from `in` and detransforms them.
    unsigned char* LoadTransformedFile(FILE* in, uint32_t size, uint32_t& length, int& error, int& zerror);
    /// Same, taking the size by seeking to the end of `in`.
    unsigned char* LoadTransformedFile(FILE* in, uint32_t& length, int& error, int& zerror);
    /// Same, for the file at `path`.
    unsigned char* LoadTransformedFile(std::string const& path, uint32_t& length, int& error, int& zerror);

    /// Reads `size` plaintext bytes from `in` and saves them transformed to `out`.
    int ConvertPlaintextFile(FILE* in, FILE* out, uint32_t size, int& zerror, bool& verifyFailed);

    /// "<message> (err <secondary>)", or "[<code>,<secondary>]" for unknown codes.
    static std::string ErrorText(int code, int secondary);

    // Set by the caller before each transformation; results are produced here.
    unsigned char* workBuffer = nullptr; ///< not owned
    uint32_t workCapacity = 0;           ///< bytes at workBuffer; 0 = no buffer
    std::string key;                     ///< 16 or 32 key bytes
    bool zeroPadding = true;             ///< false: counted padding
    EncryptionMode keyMode = Key16;      ///< length chosen by SetKey
    bool compressOn;                     ///< apply zlib
    bool encryptOn;                      ///< apply AES
    uint32_t lastOutputOffset = 0;       ///< offset of the last decrypt+decompress result
    uint32_t lastOutputLength = 0;       ///< its length

private:
    // Hidden: the core's export list takes every member of the class, and
    // these are no part of what plugins may bind to.
    [[gnu::visibility("hidden")]] uint32_t paddingFor(uint64_t length) const;
    [[gnu::visibility("hidden")]] int decryptBlocks(unsigned char const* in, unsigned char* out,
                                                    uint32_t length) const;
    [[gnu::visibility("hidden")]] unsigned char* fail(uint32_t& length, int& error, int code);
};

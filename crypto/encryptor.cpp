// Transformed images. Layouts: plain bytes; one zlib stream; C0 followed by
// the CBC ciphertext of the padded bytes; or C0 followed by the ciphertext of
// the padded zlib stream. C0 is a freshly encrypted random block and is the
// chaining value of the first data block.
#include "dvrcore/encryptor.h"

#include "dvrcore/aes.h"
#include "crypto/aes_cbc.h"
#include "dvrcore/guid.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <zlib.h>

namespace {

constexpr char kDefaultKeyGroup[] = "qV7#mK2!"; // 8 printable characters, repeated
static_assert(sizeof kDefaultKeyGroup - 1 == COrvelEncryptor::kKeyGroup);

constexpr uint32_t kKey16Length = 16;
constexpr uint32_t kKey32Length = 32;
constexpr uint32_t kCountedMinimum = 2; // counted padding needs a zero and a count byte
constexpr uint64_t kMaxPlaintextFile = uint64_t{1} << 31;

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using MallocBlock = std::unique_ptr<unsigned char, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const noexcept { std::fclose(f); }
};

// Wipes key material when it goes out of scope.
template <class T>
struct Wiped {
    T value{};
    ~Wiped() { explicit_bzero(&value, sizeof value); }
};

// The cipher key: the first 16 key bytes, whatever the key mode.
void cipherKey(std::string const& key, unsigned char (&out)[kKey16Length]) {
    std::memset(out, 0, sizeof out);
    std::memcpy(out, key.data(), key.size() < sizeof out ? key.size() : sizeof out);
}

struct CodeText {
    int code;
    char const* text;
};
constexpr CodeText kTexts[] = {
    {COrvelEncryptor::CompressMemory, "memory error in compression"},
    {COrvelEncryptor::CompressBuffer, "invalid compression buffer"},
    {COrvelEncryptor::CompressFailed, "compression failed"},
    {COrvelEncryptor::DecompressMemory, "memory error in decompression"},
    {COrvelEncryptor::DecompressBuffer, "invalid decompression buffer"},
    {COrvelEncryptor::DecompressCorrupt, "decompressing an invalid compressed image"},
    {COrvelEncryptor::DecompressFailed, "decompression failed"},
    {COrvelEncryptor::WorkBufferInvalid, "transform buffer invalid for operation"},
    {COrvelEncryptor::WorkBufferTooSmall, "transform buffer too small for operation"},
    {COrvelEncryptor::InputInvalid, "input buffer invalid for operation"},
    {COrvelEncryptor::VerifyMemory, "memory error in verifying saving transformed file"},
    {COrvelEncryptor::VerifySize, "size mismatch in verifying saving transformed file"},
    {COrvelEncryptor::VerifyData, "data mismatch in verifying saving transformed file"},
    {COrvelEncryptor::SaveNoFile, "failed to create file when saving transformed file"},
    {COrvelEncryptor::SaveWrite, "failed to write file when saving transformed file"},
    {COrvelEncryptor::LoadLocate, "failed to locate file"},
    {COrvelEncryptor::LoadOpen, "failed to open file for reading"},
    {COrvelEncryptor::LoadSeek, "failed to determine size of file to read"},
    {COrvelEncryptor::LoadMemory, "failed to allocate memory for reading file"},
    {COrvelEncryptor::LoadRead, "failed to read file"},
};

} // namespace

COrvelEncryptor::COrvelEncryptor(bool compress, bool encrypt) : compressOn(compress), encryptOn(encrypt) {
    MakeDefaultKey(key, kKey16Length);
}

void COrvelEncryptor::Init() {
    zeroPadding = true;
    keyMode = Key16;
}

void COrvelEncryptor::MakeDefaultKey(std::string& k, uint32_t length) {
    k.resize(length);
    for (uint32_t i = 0; i < length; ++i) k[i] = kDefaultKeyGroup[i % kKeyGroup];
}

void COrvelEncryptor::SetKey(std::string const& newKey, EncryptionMode mode) {
    size_t const length = mode != Key16 ? kKey32Length : kKey16Length;
    std::string k(newKey, 0, length);
    k.resize(length, '\0');
    key.swap(k);
    explicit_bzero(k.data(), k.size());
    keyMode = mode;
}

uint32_t COrvelEncryptor::paddingFor(uint64_t length) const {
    uint32_t pad = length <= kBlock ? static_cast<uint32_t>(kBlock - length)
                                    : static_cast<uint32_t>(kBlock - length % kBlock);
    if (!zeroPadding && pad < kCountedMinimum) pad += kBlock;
    return pad;
}

unsigned char* COrvelEncryptor::fail(uint32_t& length, int& error, int code) {
    length = 0;
    error = code;
    return nullptr;
}

int COrvelEncryptor::Compress(unsigned char const* in, uint32_t inLength, unsigned char* out, uint32_t& outLength,
                              int& zerror) {
    uLongf room = outLength;
    zerror = compress2(out, &room, in, inLength, Z_DEFAULT_COMPRESSION);
    if (zerror == Z_OK) {
        outLength = static_cast<uint32_t>(room);
        return Ok;
    }
    outLength = 0;
    if (zerror == Z_MEM_ERROR) return CompressMemory;
    if (zerror == Z_BUF_ERROR) return CompressBuffer;
    return CompressFailed;
}

int COrvelEncryptor::Decompress(unsigned char const* in, uint32_t inLength, unsigned char* out, uint32_t& outLength,
                                int& zerror) {
    uLongf room = outLength;
    zerror = uncompress(out, &room, in, inLength);
    if (zerror == Z_OK) {
        outLength = static_cast<uint32_t>(room);
        return Ok;
    }
    outLength = 0;
    if (zerror == Z_MEM_ERROR) return DecompressMemory;
    if (zerror == Z_BUF_ERROR) return DecompressBuffer;
    if (zerror == Z_DATA_ERROR) return DecompressCorrupt;
    return DecompressFailed;
}

int COrvelEncryptor::Encrypt(unsigned char* data, unsigned char* iv, uint32_t& length) {
    uint32_t const pad = paddingFor(length);
    Wiped<unsigned char[kKey16Length]> k;
    cipherKey(key, k.value);
    Wiped<aes_encrypt_ctx> cx;
    aes_encrypt_key128(k.value, &cx.value);

    // C0 = E(random): never repeats, so equal inputs give unrelated images.
    unsigned char seed[kBlock];
    GenerateIV16(reinterpret_cast<char*>(seed));
    aes_encrypt(seed, iv, &cx.value);

    std::memset(data + length, 0, pad);
    if (!zeroPadding) data[length + pad - 1] = static_cast<unsigned char>(pad);
    uint32_t const body = length + pad;
    ox::crypto::aesCbcEncrypt(cx.value, iv, data, body / kBlock);
    length = kBlock + body;
    return Ok;
}

int COrvelEncryptor::decryptBlocks(unsigned char const* in, unsigned char* out, uint32_t length) const {
    // Anything but C0 plus whole blocks is not an image of ours.
    if (!in || !out || length < kBlock || (length - kBlock) % kBlock != 0) return InputInvalid;
    Wiped<unsigned char[kKey16Length]> k;
    cipherKey(key, k.value);
    Wiped<aes_decrypt_ctx> cx;
    aes_decrypt_key128(k.value, &cx.value);
    ox::crypto::aesCbcDecrypt(cx.value, in, in + kBlock, out, (length - kBlock) / kBlock);
    return Ok;
}

int COrvelEncryptor::Decrypt(unsigned char const* in, unsigned char* out, uint32_t& length) {
    if (int rc = decryptBlocks(in, out, length); rc != Ok) return rc;
    uint32_t const n = length - kBlock;
    uint32_t result = n;
    if (n >= kCountedMinimum) {
        unsigned char const beforeLast = out[n - 2];
        unsigned char const last = out[n - 1];
        if (beforeLast != 0 || last == 0) {
            // Zero padding: the text ends at its first zero byte.
            void const* zero = std::memchr(out, 0, n);
            result = zero ? static_cast<uint32_t>(static_cast<unsigned char const*>(zero) - out) : n;
        } else {
            auto const count = static_cast<int8_t>(last);
            if (count >= 1 && static_cast<uint32_t>(count) < n) result = n - static_cast<uint32_t>(count);
        }
        out[result] = 0;
    }
    length = result;
    return Ok;
}

unsigned char* COrvelEncryptor::TransformBuffer(unsigned char const* in, uint32_t& length, int& error,
                                                int& zerror) {
    zerror = Z_OK;
    if (!workBuffer || workCapacity == 0) return fail(length, error, WorkBufferInvalid);
    if (!in || length == 0) return fail(length, error, InputInvalid);
    if (workCapacity < uint64_t{length} + kSlack + paddingFor(length)) return fail(length, error, WorkBufferTooSmall);

    uint32_t image = 0;
    if (compressOn && encryptOn) {
        image = workCapacity - kBlock;
        if (int rc = Compress(in, length, workBuffer + kBlock, image, zerror); rc != Ok)
            return fail(length, error, rc);
        // The room test above was made on the uncompressed length; an
        // incompressible input can leave too little room for the padding.
        if (workCapacity < uint64_t{kBlock} + image + paddingFor(image))
            return fail(length, error, WorkBufferTooSmall);
        Encrypt(workBuffer + kBlock, workBuffer, image);
    } else if (compressOn) {
        image = workCapacity;
        if (int rc = Compress(in, length, workBuffer, image, zerror); rc != Ok) return fail(length, error, rc);
    } else if (encryptOn) {
        std::memmove(workBuffer + kBlock, in, length);
        image = length;
        Encrypt(workBuffer + kBlock, workBuffer, image);
    } else {
        std::memmove(workBuffer, in, length);
        image = length;
    }
    length = image;
    error = Ok;
    return workBuffer;
}

unsigned char* COrvelEncryptor::DetransformBuffer(unsigned char const* in, uint32_t& length, int& error,
                                                  int& zerror) {
    zerror = Z_OK;
    if (!workBuffer || workCapacity == 0) return fail(length, error, WorkBufferInvalid);
    if (!in || length == 0) return fail(length, error, InputInvalid);
    if (workCapacity < length) return fail(length, error, WorkBufferTooSmall);

    uint32_t const imageLength = length;
    unsigned char* result = workBuffer;
    uint32_t restored = imageLength;
    if (compressOn && encryptOn) {
        // The zlib stream ends itself: inflate all decrypted bytes and let zlib
        // ignore the padding behind the stream. No padding is stripped and no
        // terminator written: a stream that fills its last block exactly may
        // end in bytes that look like counted padding.
        // The output goes behind the image; no room there is a buffer too
        // small, not a damaged image (zlib would call it a data error).
        if (workCapacity == imageLength) return fail(length, error, WorkBufferTooSmall);
        if (int rc = decryptBlocks(in, workBuffer, imageLength); rc != Ok) return fail(length, error, rc);
        restored = workCapacity - imageLength;
        if (int rc = Decompress(workBuffer, imageLength - kBlock, workBuffer + imageLength, restored, zerror);
            rc != Ok)
            return fail(length, error, rc);
        lastOutputOffset = imageLength;
        lastOutputLength = restored;
        result = workBuffer + imageLength;
    } else if (encryptOn) {
        if (int rc = Decrypt(in, workBuffer, restored); rc != Ok) return fail(length, error, rc);
    } else if (compressOn) {
        restored = workCapacity;
        if (int rc = Decompress(in, imageLength, workBuffer, restored, zerror); rc != Ok)
            return fail(length, error, rc);
    } else {
        std::memmove(workBuffer, in, imageLength);
    }
    length = restored;
    error = Ok;
    return result;
}

int COrvelEncryptor::SaveTransformedFile(unsigned char const* data, uint32_t length, FILE* out, int& zerror,
                                         bool& verifyFailed) {
    verifyFailed = false;
    uint32_t imageLength = length;
    int error = Ok;
    unsigned char const* image = TransformBuffer(data, imageLength, error, zerror);
    if (!image) return error;
    // The read-back of a compressed and encrypted image inflates behind the
    // image: without that room the verification would fail as if the image
    // were corrupt.
    if (compressOn && encryptOn && workCapacity < uint64_t{imageLength} + length) return WorkBufferTooSmall;

    // The work buffer is reused by the verification, so the image moves out.
    MallocBlock copy(static_cast<unsigned char*>(std::malloc(imageLength)));
    if (!copy) {
        verifyFailed = true;
        return VerifyMemory;
    }
    std::memcpy(copy.get(), image, imageLength);

    uint32_t restoredLength = imageLength;
    unsigned char const* restored = DetransformBuffer(copy.get(), restoredLength, error, zerror);
    if (!restored) {
        verifyFailed = true;
        return error;
    }
    if (restoredLength != length) {
        verifyFailed = true;
        return VerifySize;
    }
    if (std::memcmp(restored, data, length) != 0) {
        verifyFailed = true;
        return VerifyData;
    }
    if (!out) return SaveNoFile;
    if (std::fwrite(copy.get(), 1, imageLength, out) != imageLength) return SaveWrite;
    return Ok;
}

unsigned char* COrvelEncryptor::LoadTransformedFile(FILE* in, uint32_t size, uint32_t& length, int& error,
                                                    int& zerror) {
    zerror = Z_OK;
    if (!in) return fail(length, error, LoadRead);
    if (size == 0) {
        // An empty file is an empty result, terminated like a decrypted text.
        if (!workBuffer || workCapacity == 0) return fail(length, error, WorkBufferInvalid);
        workBuffer[0] = 0;
        length = 0;
        error = Ok;
        return workBuffer;
    }
    MallocBlock bytes(static_cast<unsigned char*>(std::malloc(size)));
    if (!bytes) return fail(length, error, LoadMemory);
    if (std::fread(bytes.get(), 1, size, in) != size) return fail(length, error, LoadRead);
    length = size;
    return DetransformBuffer(bytes.get(), length, error, zerror);
}

unsigned char* COrvelEncryptor::LoadTransformedFile(FILE* in, uint32_t& length, int& error, int& zerror) {
    zerror = Z_OK;
    if (!in) return fail(length, error, LoadRead);
    if (std::fseek(in, 0, SEEK_END) != 0) return fail(length, error, LoadSeek);
    long const end = std::ftell(in);
    if (end < 0 || std::fseek(in, 0, SEEK_SET) != 0) return fail(length, error, LoadSeek);
    if (static_cast<unsigned long>(end) > UINT32_MAX) return fail(length, error, LoadMemory);
    return LoadTransformedFile(in, static_cast<uint32_t>(end), length, error, zerror);
}

unsigned char* COrvelEncryptor::LoadTransformedFile(std::string const& path, uint32_t& length, int& error,
                                                    int& zerror) {
    zerror = Z_OK;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        zerror = errno;
        return fail(length, error, LoadLocate);
    }
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return fail(length, error, LoadOpen);
    return LoadTransformedFile(file.get(), length, error, zerror);
}

int COrvelEncryptor::ConvertPlaintextFile(FILE* in, FILE* out, uint32_t size, int& zerror, bool& verifyFailed) {
    zerror = Z_OK;
    verifyFailed = false;
    if (!in || !out) return LoadOpen;
    // Refused here rather than by an exception escaping into plugin code.
    if (size >= kMaxPlaintextFile) return LoadMemory;
    MallocBlock bytes(static_cast<unsigned char*>(std::malloc(size ? size : 1)));
    if (!bytes) return LoadMemory;
    if (std::fread(bytes.get(), 1, size, in) != size) return LoadRead;
    return SaveTransformedFile(bytes.get(), size, out, zerror, verifyFailed);
}

std::string COrvelEncryptor::ErrorText(int code, int secondary) {
    for (auto const& t : kTexts)
        if (t.code == code) return std::string(t.text) + " (err " + std::to_string(secondary) + ")";
    return "[" + std::to_string(code) + "," + std::to_string(secondary) + "]";
}

#include "crypto/crypto_event.h"

#include "dvrcore/crypto_event.h"
#include "dvrcore/encryptor.h"
#include "dvrcore/sha2.h"

#include <cstring>
#include <vector>

namespace ox::crypto {

namespace {

// Room beyond the content: C0, the padding and the decrypted text's zero byte.
constexpr size_t kWorkSlack = 48;

// The work buffer holds plaintext or key-derived bytes: wiped on every path.
struct WipedBuffer {
    explicit WipedBuffer(size_t n) : bytes(n, 0) {}
    ~WipedBuffer() { explicit_bzero(bytes.data(), bytes.size()); }
    WipedBuffer(WipedBuffer const&) = delete;
    WipedBuffer& operator=(WipedBuffer const&) = delete;
    std::vector<unsigned char> bytes;
};

} // namespace

std::string cryptoKeyOf(std::string const& machineId) {
    if (machineId.empty()) return {};
    std::string key(OX_SHA256_DIGEST_SIZE, '\0');
    sha256(reinterpret_cast<unsigned char*>(key.data()), reinterpret_cast<unsigned char const*>(machineId.data()),
           machineId.size());
    return key;
}

int handleCryptoEvent(ox::core::EventParms& rec, std::string const& machineId) {
    if (rec.dataLen == 0 || rec.data == nullptr) return OX_CRYPTO_BAD_LENGTH;
    uint32_t const op = rec.flags & OX_CRYPTO_OP_MASK;
    if (op != OX_CRYPTO_ENCRYPT && op != OX_CRYPTO_DECRYPT) return OX_CRYPTO_BAD_OPERATION;
    // The content must lie inside the poster's buffer, and be something.
    if (rec.level <= 0 || static_cast<uint32_t>(rec.level) > rec.dataLen) return OX_CRYPTO_BAD_LENGTH;
    auto const content = static_cast<uint32_t>(rec.level);

    COrvelEncryptor enc(false, true);
    if (!machineId.empty()) enc.SetKey(cryptoKeyOf(machineId), COrvelEncryptor::Key32);
    WipedBuffer work(size_t{content} + kWorkSlack);
    enc.workBuffer = work.bytes.data();
    enc.workCapacity = static_cast<uint32_t>(work.bytes.size());

    auto* data = reinterpret_cast<unsigned char*>(rec.data);
    uint32_t length = content;
    int error = 0, zerror = 0;
    if (op == OX_CRYPTO_ENCRYPT) {
        unsigned char const* image = enc.TransformBuffer(data, length, error, zerror);
        if (!image) return OX_CRYPTO_FAILED;
        if (length > rec.dataLen) return static_cast<int>(length);
        std::memcpy(data, image, length);
        rec.level = static_cast<int32_t>(length);
        rec.flags = OX_CRYPTO_DECRYPT;
        return OX_CRYPTO_DONE;
    }

    unsigned char const* plain = enc.DetransformBuffer(data, length, error, zerror);
    if (!plain || length == 0) return OX_CRYPTO_FAILED;
    if (length > rec.dataLen) return static_cast<int>(length);
    std::memcpy(data, plain, length);
    std::memset(data + length, 0, rec.dataLen - length);
    rec.level = static_cast<int32_t>(length);
    rec.flags = OX_CRYPTO_ENCRYPT;
    return OX_CRYPTO_DONE;
}

} // namespace ox::crypto

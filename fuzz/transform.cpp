// Fuzz target: DetransformBuffer over arbitrary images, in every flag
// combination, padding mode and work-buffer size; then a round trip of the
// same bytes, which must restore them exactly.
//
// Input: byte 0 selects the mode (bit 0 compress, bit 1 encrypt, bit 2 counted
// padding, bits 3..4 work-buffer size); the rest is the image.
#include "dvrcore/encryptor.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kCompressBit = 0x01;
constexpr uint8_t kEncryptBit = 0x02;
constexpr uint8_t kCountedBit = 0x04;
constexpr unsigned kSizeShift = 3;

size_t capacityFor(unsigned choice, size_t len) {
    switch (choice & 3) {
    case 0: return len;           // exactly the image
    case 1: return len + 17;      // a little room
    case 2: return 4 * len + 64;  // room to inflate
    default: return len / 2 + 1;  // too small
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 1) return 0;
    uint8_t const mode = data[0];
    unsigned char const* image = data + 1;
    auto const len = static_cast<uint32_t>(size - 1);

    COrvelEncryptor enc((mode & kCompressBit) != 0, (mode & kEncryptBit) != 0);
    enc.zeroPadding = (mode & kCountedBit) == 0;
    // Exact-size buffers, so a sanitizer sees any access past them.
    std::vector<unsigned char> work(capacityFor(mode >> kSizeShift, len) + 1);
    enc.workBuffer = work.data();
    enc.workCapacity = static_cast<uint32_t>(work.size() - 1);

    uint32_t out = len;
    int err = 0, zerr = 0;
    unsigned char* result = enc.DetransformBuffer(len ? image : nullptr, out, err, zerr);
    if (result) {
        if (result < work.data() || result + out > work.data() + work.size()) std::abort();
    } else if (out != 0 || err == 0) {
        std::abort();
    }

    // Round trip: counted padding and compressed images restore any bytes.
    if (len == 0 || (enc.encryptOn && !enc.compressOn && enc.zeroPadding)) return 0;
    std::vector<unsigned char> room(len + 64 + len / 64);
    enc.workBuffer = room.data();
    enc.workCapacity = static_cast<uint32_t>(room.size());
    out = len;
    unsigned char* img = enc.TransformBuffer(image, out, err, zerr);
    if (!img) return 0; // incompressible input that outgrew the room
    std::vector<unsigned char> copy(img, img + out);
    std::vector<unsigned char> back(copy.size() + len + 32);
    enc.workBuffer = back.data();
    enc.workCapacity = static_cast<uint32_t>(back.size());
    uint32_t backLen = out;
    unsigned char* restored = enc.DetransformBuffer(copy.data(), backLen, err, zerr);
    if (!restored || backLen != len || std::memcmp(restored, image, len) != 0) std::abort();
    return 0;
}

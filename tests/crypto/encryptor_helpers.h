// Shared set-up for the transformed-format tests.
#pragma once

#include "dvrcore/encryptor.h"

#include <random>
#include <string>
#include <vector>

namespace enc_test {

using Bytes = std::vector<unsigned char>;

/// An encryptor with a work buffer of exactly `capacity` bytes (so that ASan
/// sees any write past it).
struct Fixture {
    Fixture(bool compress, bool encrypt, size_t capacity) : enc(compress, encrypt), work(capacity) {
        enc.workBuffer = work.data();
        enc.workCapacity = static_cast<uint32_t>(capacity);
    }
    void resize(size_t capacity) {
        work.assign(capacity, 0);
        enc.workBuffer = work.data();
        enc.workCapacity = static_cast<uint32_t>(capacity);
    }
    Bytes transform(Bytes const& in, int* errOut = nullptr) {
        uint32_t len = static_cast<uint32_t>(in.size());
        int err = 0, zerr = 0;
        unsigned char* p = enc.TransformBuffer(in.data(), len, err, zerr);
        if (errOut) *errOut = err;
        return p ? Bytes(p, p + len) : Bytes{};
    }
    Bytes detransform(Bytes const& in, int* errOut = nullptr) {
        uint32_t len = static_cast<uint32_t>(in.size());
        int err = 0, zerr = 0;
        unsigned char* p = enc.DetransformBuffer(in.data(), len, err, zerr);
        if (errOut) *errOut = err;
        return p ? Bytes(p, p + len) : Bytes{};
    }
    COrvelEncryptor enc;
    Bytes work;
};

/// Random bytes; with `text`, printable only (zero padding cuts at a zero byte).
inline Bytes randomBytes(std::mt19937& rng, size_t n, bool text) {
    std::uniform_int_distribution<int> d(text ? 0x20 : 0, text ? 0x7e : 255);
    Bytes b(n);
    for (auto& c : b) c = static_cast<unsigned char>(d(rng));
    return b;
}

inline Bytes bytesOf(std::string const& s) { return Bytes(s.begin(), s.end()); }

} // namespace enc_test

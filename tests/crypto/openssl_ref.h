// OpenSSL as an independent reference for the tests (never used by the core).
#pragma once

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ref {

using Bytes = std::vector<unsigned char>;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

/// Raw cipher without padding over whole blocks.
inline Bytes cipher(EVP_CIPHER const* type, bool encrypt, unsigned char const* key, unsigned char const* iv,
                    unsigned char const* in, size_t len) {
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> c(EVP_CIPHER_CTX_new());
    Bytes out(len + 16);
    int n1 = 0, n2 = 0;
    EXPECT_EQ(1, EVP_CipherInit_ex(c.get(), type, nullptr, key, iv, encrypt ? 1 : 0));
    EVP_CIPHER_CTX_set_padding(c.get(), 0);
    EXPECT_EQ(1, EVP_CipherUpdate(c.get(), out.data(), &n1, in, static_cast<int>(len)));
    EXPECT_EQ(1, EVP_CipherFinal_ex(c.get(), out.data() + n1, &n2));
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

inline EVP_CIPHER const* ecbForKeyBytes(size_t keyBytes) {
    return keyBytes == 16 ? EVP_aes_128_ecb() : keyBytes == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
}

/// Digest of the concatenated pieces with the named algorithm ("SHA256", ...).
inline Bytes digest(char const* name, unsigned char const* data, size_t len) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> c(EVP_MD_CTX_new());
    EVP_MD const* md = EVP_get_digestbyname(name);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EXPECT_EQ(1, EVP_DigestInit_ex(c.get(), md, nullptr));
    EXPECT_EQ(1, EVP_DigestUpdate(c.get(), data, len));
    EXPECT_EQ(1, EVP_DigestFinal_ex(c.get(), out.data(), &n));
    out.resize(n);
    return out;
}

inline std::string hex(unsigned char const* p, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}
inline std::string hex(Bytes const& b) { return hex(b.data(), b.size()); }

inline Bytes unhex(std::string const& s) {
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return b;
}

} // namespace ref

// Crypto events: in-place encryption and decryption of a poster's buffer.
#include "crypto/crypto_event.h"

#include "dvrcore/encryptor.h"
#include "support/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace ox::crypto;

std::string const kId = "site-machine-0042\n";

struct Event {
    explicit Event(size_t capacity, std::string const& content, uint32_t op)
        : buf(capacity + 8, 0x5A),
          rec(0, OX_TYPE_CRYPTO, op, reinterpret_cast<char*>(buf.data()), static_cast<uint32_t>(capacity)) {
        // Guard bytes behind the poster's buffer show any write outside it.
        std::memcpy(buf.data(), content.data(), content.size());
        std::memset(buf.data() + content.size(), 0, capacity - content.size());
        rec.level = static_cast<int32_t>(content.size());
    }
    bool guardIntact() const {
        for (size_t i = rec.dataLen; i < buf.size(); ++i)
            if (buf[i] != 0x5A) return false;
        return true;
    }
    std::vector<unsigned char> buf;
    testing_support::Record rec;
};

TEST(CryptoEvent, TenBytesInSixtyFourRoundTrip) {
    Event e(64, "0123456789", OX_CRYPTO_ENCRYPT);
    ASSERT_EQ(OX_CRYPTO_DONE, handleCryptoEvent(e.rec, kId));
    EXPECT_EQ(32, e.rec.level);
    EXPECT_EQ(OX_CRYPTO_DECRYPT, e.rec.flags);
    EXPECT_NE(0, std::memcmp(e.buf.data() + 16, "0123456789", 10));

    ASSERT_EQ(OX_CRYPTO_DONE, handleCryptoEvent(e.rec, kId));
    EXPECT_EQ(10, e.rec.level);
    EXPECT_EQ(OX_CRYPTO_ENCRYPT, e.rec.flags);
    EXPECT_EQ(0, std::memcmp(e.buf.data(), "0123456789", 10));
    for (size_t i = 10; i < 64; ++i) EXPECT_EQ(0, e.buf[i]) << i;
    EXPECT_TRUE(e.guardIntact());
}

TEST(CryptoEvent, KeyComesFromTheIdentityDigest) {
    Event e(64, "0123456789", OX_CRYPTO_ENCRYPT);
    ASSERT_EQ(OX_CRYPTO_DONE, handleCryptoEvent(e.rec, kId));
    // The image decrypts with the encryptor keyed by the identity's digest...
    COrvelEncryptor enc(false, true);
    enc.SetKey(cryptoKeyOf(kId), COrvelEncryptor::Key32);
    std::vector<unsigned char> work(128);
    enc.workBuffer = work.data();
    enc.workCapacity = 128;
    uint32_t len = 32;
    int err = 0, zerr = 0;
    unsigned char* p = enc.DetransformBuffer(e.buf.data(), len, err, zerr);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ("0123456789", std::string(reinterpret_cast<char*>(p), len));
    // ...but not with another identity's key.
    Event copy = e;
    copy.rec.data = reinterpret_cast<char*>(copy.buf.data());
    int const rc = handleCryptoEvent(copy.rec, "another machine");
    EXPECT_TRUE(rc == OX_CRYPTO_FAILED || std::memcmp(copy.buf.data(), "0123456789", 10) != 0);
    // An empty identity keeps the built-in key.
    Event plain(64, "abc", OX_CRYPTO_ENCRYPT);
    ASSERT_EQ(OX_CRYPTO_DONE, handleCryptoEvent(plain.rec, ""));
    COrvelEncryptor builtIn(false, true);
    builtIn.workBuffer = work.data();
    builtIn.workCapacity = 128;
    len = 32;
    p = builtIn.DetransformBuffer(plain.buf.data(), len, err, zerr);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ("abc", std::string(reinterpret_cast<char*>(p), len));
}

TEST(CryptoEvent, TooSmallBufferAnswersTheNeededSize) {
    Event e(20, "0123456789", OX_CRYPTO_ENCRYPT);
    std::vector<unsigned char> const before = e.buf;
    EXPECT_EQ(32, handleCryptoEvent(e.rec, kId));
    EXPECT_EQ(before, e.buf);
    EXPECT_EQ(10, e.rec.level);
    EXPECT_EQ(OX_CRYPTO_ENCRYPT, e.rec.flags);
}

TEST(CryptoEvent, RefusedRecords) {
    Event e(64, "0123456789", 3);
    EXPECT_EQ(OX_CRYPTO_BAD_OPERATION, handleCryptoEvent(e.rec, kId));
    e.rec.flags = 0x01000000u | OX_CRYPTO_ENCRYPT; // class bits are not operation bits
    e.rec.dataLen = 0;
    EXPECT_EQ(OX_CRYPTO_BAD_LENGTH, handleCryptoEvent(e.rec, kId));
    e.rec.dataLen = 64;
    e.rec.flags = OX_CRYPTO_DECRYPT;
    e.rec.level = 0;
    EXPECT_EQ(OX_CRYPTO_BAD_LENGTH, handleCryptoEvent(e.rec, kId));
    // Content lengths outside the poster's buffer are refused, not read.
    for (uint32_t op : {OX_CRYPTO_ENCRYPT, OX_CRYPTO_DECRYPT}) {
        e.rec.flags = op;
        for (int32_t bad : {-1, -16, 65, 1 << 30}) {
            e.rec.level = bad;
            EXPECT_EQ(OX_CRYPTO_BAD_LENGTH, handleCryptoEvent(e.rec, kId)) << bad;
        }
    }
    EXPECT_TRUE(e.guardIntact());
}

TEST(CryptoEvent, UndecryptableContentFails) {
    Event e(64, std::string(20, 'q'), OX_CRYPTO_DECRYPT); // not C0 plus whole blocks
    EXPECT_EQ(OX_CRYPTO_FAILED, handleCryptoEvent(e.rec, kId));
    Event c0only(64, std::string(16, 'q'), OX_CRYPTO_DECRYPT); // decodes to nothing
    EXPECT_EQ(OX_CRYPTO_FAILED, handleCryptoEvent(c0only.rec, kId));
    EXPECT_EQ(16, c0only.rec.level);
}

TEST(CryptoEvent, LargeContentRoundTrips) {
    std::string text;
    for (int i = 0; i < 700; ++i) text += "line " + std::to_string(i) + ";";
    Event e(text.size() + 32, text, OX_CRYPTO_ENCRYPT);
    ASSERT_EQ(OX_CRYPTO_DONE, handleCryptoEvent(e.rec, kId));
    ASSERT_EQ(OX_CRYPTO_DONE, handleCryptoEvent(e.rec, kId));
    EXPECT_EQ(text, std::string(reinterpret_cast<char*>(e.buf.data()), static_cast<size_t>(e.rec.level)));
    EXPECT_TRUE(e.guardIntact());
}

} // namespace

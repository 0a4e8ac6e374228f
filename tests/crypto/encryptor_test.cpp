// The transformed buffer format: layouts, padding, keys, errors, and an
// independent decoding of images with OpenSSL and zlib.
#include "dvrcore/encryptor.h"

#include "encryptor_helpers.h"
#include "openssl_ref.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

using enc_test::Bytes;
using enc_test::bytesOf;
using enc_test::Fixture;
using enc_test::randomBytes;
using E = COrvelEncryptor;

constexpr size_t kRoomy = 1 << 16;

// Decrypts an image with OpenSSL's AES-128-CBC: key = first 16 key bytes, IV = C0.
Bytes opensslDecrypt(std::string const& key, Bytes const& image) {
    EXPECT_GE(image.size(), 32u);
    return ref::cipher(EVP_aes_128_cbc(), false, reinterpret_cast<unsigned char const*>(key.data()), image.data(),
                       image.data() + 16, image.size() - 16);
}

Bytes inflate(Bytes const& stream, size_t expected) {
    Bytes out(expected + 1);
    uLongf n = out.size();
    EXPECT_EQ(Z_OK, uncompress(out.data(), &n, stream.data(), stream.size()));
    out.resize(n);
    return out;
}

TEST(Encryptor, ZeroPaddingImageLengths) {
    Fixture f(false, true, kRoomy);
    std::mt19937 rng(1);
    struct Case {
        size_t in, image;
    };
    for (Case c : {Case{1, 32}, Case{10, 32}, Case{15, 32}, Case{16, 32}, Case{17, 48}, Case{31, 48},
                   Case{32, 64}, Case{48, 80}, Case{1000, 1024}}) {
        Bytes const text = randomBytes(rng, c.in, true);
        Bytes const image = f.transform(text);
        EXPECT_EQ(c.image, image.size()) << c.in;
        Bytes const plain = opensslDecrypt(f.enc.key, image);
        EXPECT_TRUE(std::equal(text.begin(), text.end(), plain.begin()));
        EXPECT_TRUE(std::all_of(plain.begin() + static_cast<long>(c.in), plain.end(), [](auto b) { return b == 0; }));
        EXPECT_EQ(text, f.detransform(image));
    }
}

TEST(Encryptor, CountedPaddingGrowsShortPadAndRoundTripsBinary) {
    Fixture f(false, true, kRoomy);
    f.enc.zeroPadding = false;
    Bytes const fifteen(15, 0xAB);
    Bytes const image = f.transform(fifteen);
    ASSERT_EQ(16u + 15 + 17, image.size());
    Bytes const plain = opensslDecrypt(f.enc.key, image);
    EXPECT_EQ(Bytes(16, 0), Bytes(plain.begin() + 15, plain.begin() + 31));
    EXPECT_EQ(17, plain.back());
    EXPECT_EQ(fifteen, f.detransform(image));

    std::mt19937 rng(2);
    for (size_t n : {1u, 2u, 14u, 16u, 17u, 32u, 33u, 4095u}) {
        Bytes data = randomBytes(rng, n, false);
        data[0] = 0; // zeros inside the data survive counted padding
        EXPECT_EQ(data, f.detransform(f.transform(data))) << n;
    }
}

TEST(Encryptor, ZeroPaddedTextEndsAtFirstZero) {
    Fixture f(false, true, kRoomy);
    Bytes text = bytesOf("hello");
    text.resize(24, 0);
    EXPECT_EQ(bytesOf("hello"), f.detransform(f.transform(text)));
    EXPECT_EQ(0, f.work[5]) << "result is terminated";
}

// Images crafted with OpenSSL show how the reader recognises padding.
TEST(Encryptor, PaddingRecognitionOnCraftedImages) {
    Fixture f(false, true, kRoomy);
    auto const* key = reinterpret_cast<unsigned char const*>(f.enc.key.data());
    unsigned char const c0[16] = {9, 8, 7};
    auto image = [&](Bytes plain) {
        Bytes img(c0, c0 + 16);
        Bytes const ct = ref::cipher(EVP_aes_128_cbc(), true, key, c0, plain.data(), plain.size());
        img.insert(img.end(), ct.begin(), ct.end());
        return img;
    };
    Bytes plain(32, 'x');
    plain[30] = 0;
    plain[31] = 5; // counted: strip 5
    EXPECT_EQ(27u, f.detransform(image(plain)).size());
    plain[31] = 32; // k >= n: keep all
    EXPECT_EQ(32u, f.detransform(image(plain)).size());
    plain[31] = 0x90; // negative: keep all
    EXPECT_EQ(32u, f.detransform(image(plain)).size());
    plain[30] = 'y'; // byte before last nonzero: up to the first zero
    plain[3] = 0;
    EXPECT_EQ(3u, f.detransform(image(plain)).size());
    EXPECT_EQ(0u, f.detransform(image(Bytes{})).size()) << "C0 alone: empty plaintext";
}

TEST(Encryptor, RejectsImagesThatAreNotWholeBlocks) {
    Fixture f(false, true, kRoomy);
    for (size_t n : {1u, 15u, 17u, 31u, 33u, 47u}) {
        int err = 0;
        EXPECT_TRUE(f.detransform(Bytes(n, 1), &err).empty());
        EXPECT_EQ(E::InputInvalid, err) << n;
    }
    Fixture both(true, true, kRoomy);
    int err = 0;
    both.detransform(Bytes(40, 1), &err);
    EXPECT_EQ(E::InputInvalid, err);
}

TEST(Encryptor, FreshC0PerEncryption) {
    Fixture f(false, true, kRoomy);
    Bytes const text = bytesOf("the same words twice");
    Bytes const a = f.transform(text), b = f.transform(text);
    EXPECT_NE(Bytes(a.begin(), a.begin() + 16), Bytes(b.begin(), b.begin() + 16));
    EXPECT_NE(a, b);
    EXPECT_EQ(text, f.detransform(a));
    EXPECT_EQ(text, f.detransform(b));
}

TEST(Encryptor, KeyHandling) {
    std::string const k32 = "0123456789abcdefFIRST-DIFFERENT!";
    std::string const other = "0123456789abcdefSECOND-DIFFERENT";
    Fixture a(false, true, kRoomy), b(false, true, kRoomy);
    a.enc.SetKey(k32, E::Key32);
    b.enc.SetKey(other, E::Key32);
    EXPECT_EQ(32u, a.enc.key.size());
    EXPECT_EQ(E::Key32, a.enc.keyMode);
    Bytes const text = bytesOf("only sixteen bytes key the cipher");
    EXPECT_EQ(text, b.detransform(a.transform(text)));
    b.enc.SetKey("0123456789abcdeX", E::Key16);
    EXPECT_NE(text, b.detransform(a.transform(text)));

    // Short keys are filled with zeros, long ones cut.
    a.enc.SetKey("abc", E::Key16);
    EXPECT_EQ(std::string("abc") + std::string(13, '\0'), a.enc.key);
    a.enc.SetKey(k32, E::Key16);
    EXPECT_EQ(k32.substr(0, 16), a.enc.key);

    // The default key: one 8-character printable group, repeated.
    COrvelEncryptor fresh(false, true);
    ASSERT_EQ(16u, fresh.key.size());
    EXPECT_EQ(fresh.key.substr(0, 8), fresh.key.substr(8, 8));
    std::string k;
    COrvelEncryptor::MakeDefaultKey(k, 32);
    EXPECT_EQ(fresh.key + fresh.key, k);
    for (char c : k) EXPECT_TRUE(c >= 0x20 && c < 0x7f);

    fresh.zeroPadding = false;
    fresh.keyMode = E::Key32;
    fresh.Init();
    EXPECT_TRUE(fresh.zeroPadding);
    EXPECT_EQ(E::Key16, fresh.keyMode);
}

TEST(Encryptor, EveryFlagCombinationRoundTrips) {
    std::mt19937 rng(3);
    for (int flags = 0; flags < 4; ++flags) {
        for (bool counted : {false, true}) {
            bool const compress = flags & 1, encrypt = flags & 2;
            Fixture f(compress, encrypt, 0);
            f.enc.zeroPadding = !counted;
            for (size_t n : {1u, 15u, 16u, 17u, 100u, 5000u}) {
                SCOPED_TRACE(testing::Message() << "flags " << flags << " counted " << counted << " n " << n);
                // Zero padding without compression is for text; the zlib stream
                // ends itself, so compressed images may carry any bytes.
                Bytes const data = randomBytes(rng, n, encrypt && !compress && !counted);
                f.resize(3 * n + 100);
                Bytes const image = f.transform(data);
                ASSERT_FALSE(image.empty());
                EXPECT_EQ(data, f.detransform(image));
                if (!compress && !encrypt) {
                    EXPECT_EQ(data, image);
                }
                if (compress && !encrypt) {
                    EXPECT_EQ(data, inflate(image, n));
                }
                if (encrypt) {
                    Bytes plain = opensslDecrypt(f.enc.key, image);
                    if (compress) plain = inflate(plain, n);
                    EXPECT_TRUE(std::equal(data.begin(), data.end(), plain.begin()));
                }
                if (compress && encrypt) {
                    EXPECT_EQ(image.size(), f.enc.lastOutputOffset);
                    EXPECT_EQ(n, f.enc.lastOutputLength);
                }
            }
        }
    }
}

// A zlib stream of exactly 16 bytes gets no zero padding; if its checksum
// ends in {0, k} it looks like counted padding, and stripping it would cut
// into the stream.
TEST(Encryptor, CompressedStreamFillingItsBlockSurvivesDecryption) {
    Bytes found;
    for (size_t n = 1; n < 400 && found.empty(); ++n) {
        for (unsigned ones = 1; ones <= 14 && found.empty(); ++ones) {
            Bytes data(n, 0);
            for (unsigned i = 0; i < ones && i < n; ++i) data[(i * 37) % n] += 1;
            Bytes stream(n + 64);
            uLongf len = stream.size();
            compress2(stream.data(), &len, data.data(), data.size(), Z_DEFAULT_COMPRESSION);
            if (len == 16 && stream[14] == 0 && stream[15] >= 1 && stream[15] < 16) found = data;
        }
    }
    ASSERT_FALSE(found.empty()) << "no input compresses to such a stream";
    for (bool counted : {false, true}) {
        Fixture f(true, true, kRoomy);
        f.enc.zeroPadding = !counted;
        EXPECT_EQ(found, f.detransform(f.transform(found))) << counted;
    }
}

TEST(Encryptor, BufferAndInputErrors) {
    Bytes const data(100, 'a');
    for (int flags = 0; flags < 4; ++flags) {
        Fixture f(flags & 1, flags & 2, 100 + 32 + 12);
        int err = 0;
        f.enc.workBuffer = nullptr;
        EXPECT_TRUE(f.transform(data, &err).empty());
        EXPECT_EQ(E::WorkBufferInvalid, err);
        f.resize(0);
        f.transform(data, &err);
        EXPECT_EQ(E::WorkBufferInvalid, err);
        f.detransform(data, &err);
        EXPECT_EQ(E::WorkBufferInvalid, err);

        f.resize(100 + 32 + 12); // 100 bytes pad with 12
        f.transform(Bytes{}, &err);
        EXPECT_EQ(E::InputInvalid, err);
        f.detransform(Bytes{}, &err);
        EXPECT_EQ(E::InputInvalid, err);
        EXPECT_FALSE(f.transform(data, &err).empty());
        EXPECT_EQ(E::Ok, err);
        f.resize(100 + 32 + 12 - 1);
        uint32_t len = 100;
        int zerr = 0;
        EXPECT_EQ(nullptr, f.enc.TransformBuffer(data.data(), len, err, zerr));
        EXPECT_EQ(0u, len);
        EXPECT_EQ(E::WorkBufferTooSmall, err);
        f.resize(99);
        f.detransform(data, &err);
        EXPECT_EQ(E::WorkBufferTooSmall, err);
    }
}

// A good image in a buffer of exactly its length leaves no room for the
// output: that is a small buffer, never a damaged image a caller would discard.
TEST(Encryptor, GoodImageWithoutRoomForItsOutputIsTooSmallNotCorrupt) {
    Fixture f(true, true, 4096);
    Bytes const image = f.transform(bytesOf("settings that compress well, well, well, well"));
    ASSERT_FALSE(image.empty());
    f.resize(image.size());
    int err = 0;
    EXPECT_TRUE(f.detransform(image, &err).empty());
    EXPECT_EQ(E::WorkBufferTooSmall, err);
    f.resize(image.size() + 64);
    EXPECT_EQ(bytesOf("settings that compress well, well, well, well"), f.detransform(image, &err));
}

TEST(Encryptor, ZlibErrorsMapToCodes) {
    COrvelEncryptor enc(true, false);
    Bytes const data(1000, 'z');
    Bytes out(2000);
    uint32_t room = 5;
    int zerr = 0;
    EXPECT_EQ(E::CompressBuffer, enc.Compress(data.data(), 1000, out.data(), room, zerr));
    EXPECT_EQ(Z_BUF_ERROR, zerr);
    EXPECT_EQ(0u, room);

    room = 2000;
    ASSERT_EQ(E::Ok, enc.Compress(data.data(), 1000, out.data(), room, zerr));
    Bytes const stream(out.begin(), out.begin() + room);
    Bytes back(2000);
    uint32_t backRoom = 10;
    EXPECT_EQ(E::DecompressBuffer, enc.Decompress(stream.data(), room, back.data(), backRoom, zerr));
    EXPECT_EQ(Z_BUF_ERROR, zerr);
    backRoom = 2000;
    Bytes corrupt = stream;
    corrupt[0] ^= 0xFF;
    EXPECT_EQ(E::DecompressCorrupt, enc.Decompress(corrupt.data(), room, back.data(), backRoom, zerr));
    EXPECT_EQ(Z_DATA_ERROR, zerr);

    // Through the buffer interface the zlib code travels beside the code.
    Fixture f(true, true, 1000 + 48);
    f.enc.workCapacity = 1000 + 48;
    uint32_t len = 1000;
    int err = 0;
    unsigned char* img = f.enc.TransformBuffer(data.data(), len, err, zerr);
    ASSERT_NE(nullptr, img);
    Bytes const image(img, img + len);
    f.resize(image.size() + 10); // too little room behind the image for the text
    f.detransform(image, &err);
    EXPECT_EQ(E::DecompressBuffer, err);
}

// Incompressible input can come out of zlib just short of the room it was
// given; the padding must then be refused, not written past the buffer.
TEST(Encryptor, CompressedOutputNearlyFillingTheRoomIsRefused) {
    std::mt19937 rng(4);
    Bytes const data = randomBytes(rng, 1 << 20, false);
    COrvelEncryptor probe(true, false);
    Bytes stream(data.size() * 2);
    uint32_t clen = static_cast<uint32_t>(stream.size());
    int zerr = 0;
    ASSERT_EQ(E::Ok, probe.Compress(data.data(), static_cast<uint32_t>(data.size()), stream.data(), clen, zerr));
    ASSERT_GT(clen, data.size() + 48) << "needs zlib's overhead on incompressible data";

    for (bool counted : {false, true}) {
        Fixture f(true, true, 16 + clen); // the stream fits, its padding does not
        f.enc.zeroPadding = !counted;
        int err = 0;
        EXPECT_TRUE(f.transform(data, &err).empty());
        EXPECT_EQ(E::WorkBufferTooSmall, err);
        f.resize(16 + clen + 17);
        EXPECT_FALSE(f.transform(data, &err).empty());
    }
}

TEST(Encryptor, ErrorTexts) {
    EXPECT_EQ("transform buffer too small for operation (err 0)", COrvelEncryptor::ErrorText(-21, 0));
    EXPECT_EQ("decompressing an invalid compressed image (err -3)", COrvelEncryptor::ErrorText(-12, -3));
    EXPECT_EQ("failed to locate file (err 2)", COrvelEncryptor::ErrorText(-40, 2));
    EXPECT_EQ("[-99,4]", COrvelEncryptor::ErrorText(-99, 4));
    EXPECT_EQ("[0,0]", COrvelEncryptor::ErrorText(0, 0));
    for (int code : {-1, -2, -3, -10, -11, -12, -13, -20, -21, -22, -30, -31, -32, -33, -34, -40, -41, -42, -43, -44})
        EXPECT_NE('[', COrvelEncryptor::ErrorText(code, 0)[0]) << code;
}

} // namespace

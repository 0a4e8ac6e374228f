// Saving with read-back verification, the three load forms and conversion,
// on real files.
#include "dvrcore/encryptor.h"

#include "encryptor_helpers.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

using enc_test::Bytes;
using enc_test::bytesOf;
using enc_test::Fixture;
using enc_test::randomBytes;
using E = COrvelEncryptor;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

using testing_support::TempDir;

Bytes contents(std::filesystem::path const& p) {
    File f(std::fopen(p.c_str(), "rb"));
    Bytes b(std::filesystem::file_size(p));
    EXPECT_EQ(b.size(), std::fread(b.data(), 1, b.size(), f.get()));
    return b;
}

TEST(EncryptorFile, SaveThenLoadInAllThreeForms) {
    TempDir dir;
    std::mt19937 rng(5);
    for (int flags = 0; flags < 4; ++flags) {
        SCOPED_TRACE(flags);
        Fixture f(flags & 1, flags & 2, 1 << 16);
        f.enc.zeroPadding = false;
        Bytes const data = randomBytes(rng, 3000, false);
        auto const path = dir.path() / ("f" + std::to_string(flags));
        int zerr = 0;
        bool verifyFailed = true;
        {
            File out(std::fopen(path.c_str(), "wb"));
            ASSERT_EQ(E::Ok, f.enc.SaveTransformedFile(data.data(), 3000, out.get(), zerr, verifyFailed));
            EXPECT_FALSE(verifyFailed);
        }
        Bytes const image = contents(path);
        EXPECT_EQ(data, f.detransform(image));

        uint32_t len = 0;
        int err = 1;
        unsigned char* p = f.enc.LoadTransformedFile(path.string(), len, err, zerr);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(E::Ok, err);
        EXPECT_EQ(data, Bytes(p, p + len));

        File in(std::fopen(path.c_str(), "rb"));
        std::fseek(in.get(), 7, SEEK_SET); // the sizing form reads from the start
        p = f.enc.LoadTransformedFile(in.get(), len, err, zerr);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(data, Bytes(p, p + len));

        std::rewind(in.get());
        p = f.enc.LoadTransformedFile(in.get(), static_cast<uint32_t>(image.size()), len, err, zerr);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(data, Bytes(p, p + len));
    }
}

TEST(EncryptorFile, EmptyFileLoadsAsEmptyTerminatedResult) {
    TempDir dir;
    auto const path = dir.path() / "empty";
    File(std::fopen(path.c_str(), "wb"));
    Fixture f(true, true, 64);
    f.work[0] = 'x';
    uint32_t len = 99;
    int err = 1, zerr = 0;
    unsigned char* p = f.enc.LoadTransformedFile(path.string(), len, err, zerr);
    EXPECT_EQ(f.work.data(), p);
    EXPECT_EQ(0u, len);
    EXPECT_EQ(E::Ok, err);
    EXPECT_EQ(0, f.work[0]);
}

TEST(EncryptorFile, LoadErrors) {
    TempDir dir;
    Fixture f(false, true, 256);
    uint32_t len = 5;
    int err = 0, zerr = 0;
    EXPECT_EQ(nullptr, f.enc.LoadTransformedFile((dir.path() / "missing").string(), len, err, zerr));
    EXPECT_EQ(E::LoadLocate, err);
    EXPECT_EQ(ENOENT, zerr);
    EXPECT_EQ(0u, len);

    EXPECT_EQ(nullptr, f.enc.LoadTransformedFile(static_cast<FILE*>(nullptr), len, err, zerr));
    EXPECT_EQ(E::LoadRead, err);
    EXPECT_EQ(nullptr, f.enc.LoadTransformedFile(nullptr, 10u, len, err, zerr));
    EXPECT_EQ(E::LoadRead, err);

    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    File pipeIn(::fdopen(fds[0], "rb"));
    ::close(fds[1]);
    EXPECT_EQ(nullptr, f.enc.LoadTransformedFile(pipeIn.get(), len, err, zerr));
    EXPECT_EQ(E::LoadSeek, err);

    auto const path = dir.path() / "short";
    {
        File w(std::fopen(path.c_str(), "wb"));
        std::fwrite("0123456789abcdef", 1, 16, w.get());
    }
    File in(std::fopen(path.c_str(), "rb"));
    EXPECT_EQ(nullptr, f.enc.LoadTransformedFile(in.get(), 32u, len, err, zerr));
    EXPECT_EQ(E::LoadRead, err);
    std::rewind(in.get());
    EXPECT_EQ(nullptr, f.enc.LoadTransformedFile(in.get(), 15u, len, err, zerr));
    EXPECT_EQ(E::InputInvalid, err) << "not C0 plus whole blocks";
}

TEST(EncryptorFile, SaveFailuresAndVerification) {
    Fixture f(false, true, 256);
    int zerr = 0;
    bool verifyFailed = true;
    Bytes const text = bytesOf("a line of text");
    EXPECT_EQ(E::SaveNoFile, f.enc.SaveTransformedFile(text.data(), 14, nullptr, zerr, verifyFailed));
    EXPECT_FALSE(verifyFailed);

    File readOnly(std::fopen("/dev/null", "rb"));
    EXPECT_EQ(E::SaveWrite, f.enc.SaveTransformedFile(text.data(), 14, readOnly.get(), zerr, verifyFailed));

    // Zero padding is for text: binary data with a zero byte fails verification
    // and nothing is written.
    File out(std::tmpfile());
    Bytes binary = text;
    binary[4] = 0;
    EXPECT_EQ(E::VerifySize, f.enc.SaveTransformedFile(binary.data(), 14, out.get(), zerr, verifyFailed));
    EXPECT_TRUE(verifyFailed);
    EXPECT_EQ(0, std::ftell(out.get()));

    f.resize(20); // transformation itself fails: the file is untouched
    EXPECT_EQ(E::WorkBufferTooSmall, f.enc.SaveTransformedFile(text.data(), 14, out.get(), zerr, verifyFailed));
    EXPECT_FALSE(verifyFailed);

    // Compressed and encrypted: the work buffer must also hold the restored
    // text behind the image. Too little room is said as such, before any
    // read-back that would report the image as damaged.
    Fixture both(true, true, 14 + 32 + 2 + 4);
    EXPECT_EQ(E::WorkBufferTooSmall, both.enc.SaveTransformedFile(text.data(), 14, out.get(), zerr, verifyFailed));
    EXPECT_FALSE(verifyFailed);
    EXPECT_EQ(0, std::ftell(out.get()));
    // At the documented size, image plus data, the save succeeds.
    uint32_t imageLength = 14;
    int err = 0;
    ASSERT_NE(nullptr, both.enc.TransformBuffer(text.data(), imageLength, err, zerr));
    both.resize(imageLength + 14 + 32 + 16);
    EXPECT_EQ(E::Ok, both.enc.SaveTransformedFile(text.data(), 14, out.get(), zerr, verifyFailed));
    EXPECT_FALSE(verifyFailed);
}

TEST(EncryptorFile, ConvertPlaintextFile) {
    Fixture f(true, true, 1 << 14);
    File in(std::tmpfile()), out(std::tmpfile());
    Bytes const text = bytesOf(std::string(2000, 'p') + "tail");
    std::fwrite(text.data(), 1, text.size(), in.get());
    std::rewind(in.get());
    int zerr = 0;
    bool verifyFailed = true;
    auto const n = static_cast<uint32_t>(text.size());
    EXPECT_EQ(E::Ok, f.enc.ConvertPlaintextFile(in.get(), out.get(), n, zerr, verifyFailed));
    EXPECT_FALSE(verifyFailed);
    uint32_t len = 0;
    int err = 0;
    unsigned char* p = f.enc.LoadTransformedFile(out.get(), len, err, zerr);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(text, Bytes(p, p + len));

    EXPECT_EQ(E::LoadOpen, f.enc.ConvertPlaintextFile(nullptr, out.get(), n, zerr, verifyFailed));
    EXPECT_EQ(E::LoadOpen, f.enc.ConvertPlaintextFile(in.get(), nullptr, n, zerr, verifyFailed));
    std::rewind(in.get());
    EXPECT_EQ(E::LoadRead, f.enc.ConvertPlaintextFile(in.get(), out.get(), n + 1, zerr, verifyFailed));
    // Two GiB or more is refused with a code, not an exception.
    EXPECT_EQ(E::LoadMemory, f.enc.ConvertPlaintextFile(in.get(), out.get(), 0x80000000u, zerr, verifyFailed));
}

} // namespace

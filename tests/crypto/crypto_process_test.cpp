// Crypto events through the real executable and a test plugin, with the key
// taken from the machine identity.
#include "dvrcore/encryptor.h"
#include "dvrcore/sha2.h"
#include "support/core_process.h"
#include "support/scoped_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

using namespace testing_support;

namespace {

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

class CryptoEvents : public ::testing::Test {
protected:
    void set(std::string const& name, std::string const& value) { env_.set("PROBE_Probe_" + name, value); }
    /// Runs the core once with the Probe plugin and returns the probe's trace.
    std::vector<std::string> run() {
        tree_.addPlugin("Probe.so");
        CoreProcess p(tree_.exe(), {}, tree_.root());
        EXPECT_TRUE(p.waitForOutput("probe Probe open")) << p.out();
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait().code, 0);
        return tree_.probeTrace();
    }
    std::string line(std::vector<std::string> const& lines, std::string const& prefix) {
        for (auto const& l : lines)
            if (l.rfind(prefix, 0) == 0) return l;
        return "";
    }
    std::string field(std::string const& l, std::string const& key) {
        auto at = l.find(" " + key + "=");
        if (at == std::string::npos) return "";
        auto from = at + key.size() + 2;
        return l.substr(from, l.find(' ', from) - from);
    }
    ApplianceTree tree_;
    ScopedEnv env_;
};

std::string unhex(std::string const& h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

/// Decrypts an image with the key the core derives from `identity`.
std::string decryptWith(std::string const& identity, std::string const& image) {
    COrvelEncryptor enc(false, true);
    std::string key(32, '\0');
    sha256(reinterpret_cast<unsigned char*>(key.data()), reinterpret_cast<unsigned char const*>(identity.data()),
           identity.size());
    enc.SetKey(key, COrvelEncryptor::Key32);
    std::vector<unsigned char> work(image.size() + 48);
    enc.workBuffer = work.data();
    enc.workCapacity = static_cast<uint32_t>(work.size());
    uint32_t len = static_cast<uint32_t>(image.size());
    int error = 0, zerror = 0;
    unsigned char* out = enc.DetransformBuffer(reinterpret_cast<unsigned char const*>(image.data()), len, error, zerror);
    if (!out) return "<error " + std::to_string(error) + ">";
    return std::string(reinterpret_cast<char*>(out), len);
}

} // namespace

// What the unit tests cannot show: the record is transformed in the poster's
// own buffer, the answer reaches the poster as it is, and the key is the one
// of the identity the core read at its start.
TEST_F(CryptoEvents, PosterGetsItsBufferTransformedWithTheFallbackKeyAndEveryAnswer) {
    set("CRYPTO_TEXT", "0123456789");
    auto lines = run();
    auto small = line(lines, "Probe crypto encrypt cap=10 ");
    EXPECT_EQ(field(small, "r"), "32") << small; // the size the image needs
    EXPECT_EQ(field(small, "flags"), "2");       // unchanged
    EXPECT_EQ(field(small, "guard"), "########");
    auto enc = line(lines, "Probe crypto encrypt cap=64 ");
    EXPECT_EQ(field(enc, "r"), "0") << enc;
    EXPECT_EQ(field(enc, "len"), "32");
    EXPECT_EQ(field(enc, "flags"), "1024");
    EXPECT_EQ(field(enc, "guard"), "########");
    auto dec = line(lines, "Probe crypto decrypt");
    EXPECT_EQ(field(dec, "r"), "0") << dec;
    EXPECT_EQ(field(dec, "flags"), "2");
    EXPECT_EQ(field(dec, "text"), "0123456789");
    // No identity script: the identity is the digest of empty input, and the
    // plugin was handed the same text.
    EXPECT_NE(line(lines, "Probe Load").find(std::string("id=") + kEmptyDigest), std::string::npos);
    EXPECT_EQ(decryptWith(kEmptyDigest, unhex(field(enc, "image"))), "0123456789");
}

TEST_F(CryptoEvents, KeyComesFromTheIdentityScript) {
    tree_.addFile("scripts/get_id.sh", "#!/bin/sh\necho machine-7\n");
    ::chmod((tree_.root() / "scripts/get_id.sh").c_str(), 0755);
    set("CRYPTO_TEXT", "secret");
    auto lines = run();
    auto enc = line(lines, "Probe crypto encrypt cap=64 ");
    ASSERT_EQ(field(enc, "r"), "0") << enc;
    EXPECT_EQ(decryptWith("machine-7\n", unhex(field(enc, "image"))), "secret");
    EXPECT_NE(decryptWith(kEmptyDigest, unhex(field(enc, "image"))), "secret");
}

// The machine identity from the site script in the working directory.
#include "crypto/machine_id.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// Runs the test body in a fresh temporary working directory.
struct InTempDir {
    InTempDir() : previous(fs::current_path()) {
        char tmpl[] = "/tmp/dvr-machine-id-XXXXXX";
        dir = ::mkdtemp(tmpl);
        fs::current_path(dir);
    }
    ~InTempDir() {
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    void script(std::string const& body) {
        fs::create_directories(dir / "scripts");
        std::ofstream(dir / "scripts/get_id.sh") << "#!/bin/sh\n" << body;
        fs::permissions(dir / "scripts/get_id.sh", fs::perms::owner_all);
    }
    fs::path previous, dir;
};

TEST(MachineId, ScriptOutputIsTheIdentityUnchanged) {
    InTempDir t;
    t.script("printf 'unit-7731\\n'\n");
    EXPECT_EQ("unit-7731\n", getMachineId());
}

TEST(MachineId, LongOutputIsReadWhole) {
    InTempDir t;
    t.script("i=0; while [ $i -lt 2000 ]; do printf 'abcdefgh'; i=$((i+1)); done\n");
    EXPECT_EQ(std::string(16000, 'x').size(), getMachineId().size());
}

TEST(MachineId, FallsBackToDigestOfEmptyInput) {
    char const* kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    InTempDir t;
    EXPECT_EQ(kEmptyDigest, getMachineId()) << "no script";
    t.script("exit 0\n");
    EXPECT_EQ(kEmptyDigest, getMachineId()) << "script prints nothing";
    EXPECT_EQ(kEmptyDigest, fallbackMachineId());
}

} // namespace

// The machine identity from the site script in the working directory.
#include "crypto/machine_id.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdio>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// Runs the test body in a fresh temporary working directory.
struct InTempDir {
    InTempDir() { dir.enter(); }
    void script(std::string const& body) {
        fs::create_directories(dir / "scripts");
        std::ofstream(dir / "scripts/get_id.sh") << "#!/bin/sh\n" << body;
        fs::permissions(dir / "scripts/get_id.sh", fs::perms::owner_all);
    }
    testing_support::TempDir dir{"dvr-machine-id"};
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

// What the process writes to standard error while it lives.
struct StderrCapture {
    StderrCapture() : saved(::dup(2)), file(std::tmpfile()) { ::dup2(::fileno(file), 2); }
    ~StderrCapture() { restore(); }
    void restore() {
        if (saved < 0) return;
        ::dup2(saved, 2);
        ::close(saved);
        saved = -1;
    }
    long size() {
        restore();
        struct stat st {};
        return ::fstat(::fileno(file), &st) == 0 ? static_cast<long>(st.st_size) : -1;
    }
    int saved;
    std::FILE* file;
};

// Every start runs the lookup; the shell's errors must not reach the console.
TEST(MachineId, LookupWritesNothingToStandardError) {
    InTempDir t;
    {
        StderrCapture err;
        EXPECT_EQ(fallbackMachineId(), getMachineId()) << "no script: sudo and the script are not found";
        EXPECT_EQ(0, err.size());
    }
    t.script("echo complaint >&2; echo unit-9\n");
    StderrCapture err;
    EXPECT_EQ("unit-9\n", getMachineId());
    EXPECT_EQ(0, err.size());
}

} // namespace

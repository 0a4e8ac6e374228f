// The log plugin's file: appends, and rotates by size keeping a few old files.
#include "log_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string slurp(fs::path const& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class LogFileTest : public ::testing::Test {
protected:
    testing_support::TempDir dir_{"logfile"};
};

} // namespace

TEST_F(LogFileTest, CreatesItsFolderAndAppends) {
    {
        logpi::LogFile f((dir_ / "log/core.log").string(), 1000, 3);
        EXPECT_TRUE(f.write("one\n"));
        EXPECT_TRUE(f.write("two\n"));
    }
    logpi::LogFile again((dir_ / "log/core.log").string(), 1000, 3);
    EXPECT_TRUE(again.write("three\n"));
    again.flush();
    EXPECT_EQ(slurp(dir_ / "log/core.log"), "one\ntwo\nthree\n");
}

TEST_F(LogFileTest, RotatesBySizeAndDropsTheOldest) {
    std::string const path = (dir_ / "core.log").string();
    logpi::LogFile f(path, 10, 2);
    for (char c : std::string("abcdefgh")) ASSERT_TRUE(f.write(std::string(6, c) + "\n")); // 7 bytes each
    f.flush();
    // Each line overflows a 10-byte file: every write starts a new file.
    EXPECT_EQ(slurp(path), "hhhhhh\n");
    EXPECT_EQ(slurp(path + ".1"), "gggggg\n");
    EXPECT_EQ(slurp(path + ".2"), "ffffff\n");
    EXPECT_FALSE(fs::exists(path + ".3"));
}

TEST_F(LogFileTest, UnwritablePlaceIsReportedNotFatal) {
    logpi::LogFile f("/proc/no-such-dir/core.log", 10, 2);
    EXPECT_FALSE(f.write("x\n"));
}

#include "dvrcore/store.h"
#include "dvrcore/xml_parse_error.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr char kDoc[] = "<?xml version=\"1.0\"?>\n<oREC><Memory Throttling=\"0\"/></oREC>\n";
constexpr char kNewer[] = "<?xml version=\"1.0\"?>\n<oREC><Memory Throttling=\"1\"/></oREC>\n";

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        target_ = (dir_ / "core.xml").string();
        side_ = target_ + ".pending";
    }

    static void write(std::string const& path, std::string_view bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string read(std::string const& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // The message the call throws as std::runtime_error, or "" when it returns.
    template <class F>
    static std::string errorOf(F&& f) {
        try {
            f();
        } catch (std::runtime_error const& e) {
            return e.what();
        }
        return "";
    }

    testing_support::TempDir dir_{"store_test"};
    std::string target_;
    std::string side_;
};

} // namespace

TEST_F(Store, SaveReplacesTheTargetThroughTheSideFile) {
    write(target_, kDoc);
    // The saved file is the owner's alone, whatever mask a plugin set.
    mode_t const mask = ::umask(0);
    oxcfg::saveConfig(target_, kNewer);
    ::umask(mask);
    EXPECT_EQ(read(target_), kNewer);
    EXPECT_FALSE(fs::exists(side_));
    EXPECT_EQ(oxcfg::loadConfig(target_), kNewer);
    struct stat st {};
    ASSERT_EQ(::stat(target_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Store, SaveRefusesContentThatIsNotXml) {
    write(target_, kDoc);
    EXPECT_EQ(errorOf([&] { oxcfg::saveConfig(target_, "<?xm"); }), "Failed - not xml content");
    EXPECT_EQ(errorOf([&] { oxcfg::saveConfig(target_, "<xml/>"); }), "Failed - not xml content");
    EXPECT_EQ(read(target_), kDoc);
    EXPECT_FALSE(fs::exists(side_));
}

TEST_F(Store, OpaqueSaveKeepsBinaryBytesThatLoadThenRefuses) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(char(i));
    bytes += std::string("\0\r\n\xff", 4);
    oxcfg::saveConfigOpaque(target_, bytes);
    EXPECT_EQ(read(target_), bytes);
    EXPECT_EQ(oxcfg::readWholeFile(target_), bytes);
    EXPECT_EQ(errorOf([&] { oxcfg::loadConfig(target_); }), "Failed - not xml content");
    oxcfg::saveConfigOpaque(target_, "");
    EXPECT_EQ(read(target_), "");
}

TEST_F(Store, LoadPromotesACompleteSideFile) {
    write(target_, kDoc);
    write(side_, kNewer);
    EXPECT_EQ(oxcfg::loadConfig(target_), kNewer);
    EXPECT_FALSE(fs::exists(side_));
    EXPECT_EQ(read(target_), kNewer);
    // Also when the target never existed.
    fs::remove(target_);
    write(side_, kDoc);
    EXPECT_EQ(oxcfg::loadConfig(target_), kDoc);
    EXPECT_EQ(read(target_), kDoc);
}

TEST_F(Store, LoadFallsBackFromABadSideFileAndDeletesIt) {
    std::string const truncated = std::string(kNewer).substr(0, 40);  // ends inside <oREC>
    for (std::string const& bad : {truncated, std::string(""), std::string("garbage"), std::string("<?xml?><a>\0</a>", 15)}) {
        write(target_, kDoc);
        write(side_, bad);
        EXPECT_EQ(oxcfg::loadConfig(target_), kDoc) << bad;
        EXPECT_FALSE(fs::exists(side_)) << bad;
        EXPECT_EQ(read(target_), kDoc);
    }
    // A side file that cannot be read at all is no better.
    fs::create_directory(side_);
    EXPECT_EQ(oxcfg::loadConfig(target_), kDoc);
}

TEST_F(Store, LoadFailuresNameThePath) {
    EXPECT_EQ(errorOf([&] { oxcfg::loadConfig(target_); }), "Failed to open " + target_ + " - No such file or directory");
    write(target_, "");
    EXPECT_EQ(errorOf([&] { oxcfg::loadConfig(target_); }), "Failed - not xml content");
    write(target_, "<?xml?><oREC>");
    EXPECT_THROW(oxcfg::loadConfig(target_), rapidxml::parse_error);
    fs::remove(target_);
    fs::create_directory(target_);
    EXPECT_EQ(errorOf([&] { oxcfg::loadConfig(target_); }), "Failed to read " + target_ + " - Is a directory");
}

TEST_F(Store, SaveFailuresAreReportedAndLeaveTheTarget) {
    // The side file cannot be created: its name is taken by a directory.
    write(target_, kDoc);
    fs::create_directory(side_);
    EXPECT_EQ(errorOf([&] { oxcfg::saveConfig(target_, kNewer); }), "Failed to open " + side_ + " - Is a directory");
    EXPECT_EQ(read(target_), kDoc);
    fs::remove(side_);

    // The rename cannot replace a non-empty directory: a failure, not a success,
    // and the side file does not resurface on the next load.
    std::string const dirTarget = (dir_ / "plugin.xml").string();
    fs::create_directories(fs::path(dirTarget) / "inside");
    EXPECT_EQ(errorOf([&] { oxcfg::saveConfig(dirTarget, kNewer); }),
              "Failed to rename " + dirTarget + ".pending - Is a directory");
    EXPECT_FALSE(fs::exists(dirTarget + ".pending"));
    EXPECT_TRUE(fs::is_directory(dirTarget));

    // A missing folder.
    std::string const nowhere = (dir_ / "none" / "x.xml").string();
    EXPECT_EQ(errorOf([&] { oxcfg::saveConfigOpaque(nowhere, "x"); }),
              "Failed to open " + nowhere + ".pending - No such file or directory");
}

TEST_F(Store, WriteFailureKeepsTheTarget) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // A side file that is a link to a full device: the write fails.
    write(target_, kDoc);
    fs::create_symlink("/dev/full", side_);
    EXPECT_EQ(errorOf([&] { oxcfg::saveConfig(target_, kNewer); }),
              "Failed to write " + side_ + " - No space left on device");
    EXPECT_EQ(read(target_), kDoc);
}

// Which plugin files are found, and their load order.
#include "plugin/discovery.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

class Discovery : public ::testing::Test {
protected:
    void file(std::string const& rel) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel) << "x";
    }
    std::vector<std::string> found(fs::path const& dir) {
        std::vector<std::string> names;
        for (auto const& p : ox::plugin::discoverPlugins(dir)) names.push_back(p.lexically_relative(dir).string());
        return names;
    }
    testing_support::TempDir tmp_{"discovery"};
    fs::path const root_ = tmp_.path();
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(Discovery, ProtectedCopyHidesThePlainOne) {
    file("protected-plugins/Vid.so");
    file("plugins/Vid.so");
    file("plugins/Aud.so");
    EXPECT_EQ(found(root_), (Names{"plugins/Aud.so", "protected-plugins/Vid.so"}));
}

TEST_F(Discovery, OnlyRegularDotSoFilesButNotTheLogPlugin) {
    for (auto n : {"plugins/LogPI.so", "plugins/logpi.so", "plugins/Vid.so.1", "plugins/Vid.SO", "plugins/.so",
                   "plugins/readme.txt", "plugins/sub/Deep.so"})
        file(n);
    fs::create_directories(root_ / "plugins/Dir.so");
    EXPECT_EQ(found(root_), (Names{"plugins/logpi.so"}));
}

TEST_F(Discovery, SymbolicLinksAreFollowed) {
    file("elsewhere/real.so");
    fs::create_directories(root_ / "elsewhere/dir");
    fs::create_directories(root_ / "plugins");
    fs::create_symlink(root_ / "elsewhere/real.so", root_ / "plugins/Net.so");
    fs::create_symlink(root_ / "elsewhere/dir", root_ / "plugins/Dir.so");
    fs::create_symlink(root_ / "elsewhere/missing.so", root_ / "plugins/Dangling.so");
    file("plugins/Zed.so");
    // The dangling link is passed over without hiding the files after it.
    EXPECT_EQ(found(root_), (Names{"plugins/Net.so", "plugins/Zed.so"}));
}

TEST_F(Discovery, MarkedFilesFirstThenNamesIgnoringCase) {
    file("plugins/b.so");
    file("plugins/A.so");
    file("plugins/c_rIDOdu.so");
    file("protected-plugins/C.so");
    EXPECT_EQ(found(root_), (Names{"plugins/c_rIDOdu.so", "plugins/A.so", "plugins/b.so", "protected-plugins/C.so"}));
}

TEST_F(Discovery, MarkInTheDirectoryMarksEverything) {
    fs::path const dir = root_ / "x_rIDOdu";
    file("x_rIDOdu/plugins/b.so");
    file("x_rIDOdu/plugins/A.so");
    EXPECT_EQ(found(dir), (Names{"plugins/A.so", "plugins/b.so"}));
}

TEST_F(Discovery, MissingFoldersYieldNothing) { EXPECT_TRUE(found(root_ / "nowhere").empty()); }

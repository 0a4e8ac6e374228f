// The real core run in-process, for the programs that drive it from inside
// (the dispatch benchmark, the event fuzz target): a temporary appliance tree,
// which is the working directory while the core runs, with bin/dvrcore (never
// executed), bin/plugins/ holding the log plugin and the given plugins, and a
// core.xml that keeps the core's own notices off the console. Init and Run on
// a thread of its own; the destructor stops the core and removes the tree.
#pragma once

#include "core/dvr_core.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <stdlib.h>

namespace testing_support {

class RunningCore {
public:
    /// Runs in the finished tree before the core starts, with the tree's root
    /// and where the given plugins were installed, in their order.
    using BeforeStart = std::function<void(std::filesystem::path const&, std::vector<std::filesystem::path> const&)>;

    /// `plugins`: the libraries to install, separated by ':' (as a build
    /// passes a list of targets' files).
    RunningCore(char const* name, std::filesystem::path const& logPlugin, std::string_view plugins,
                BeforeStart const& beforeStart = {}) {
        namespace fs = std::filesystem;
        std::string pattern = "/tmp/" + std::string(name) + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        fs::path const dir = root_ / "bin/plugins";
        fs::create_directories(dir);
        fs::copy_file(logPlugin, dir / "LogPI.so");
        std::ofstream(root_ / "core.xml") << "<?xml version=\"1.0\"?>\n<oREC><Modules><Module>"
                                             "<Plugin ID=\"-2147483648\" LogLevel=\"100\"/></Module></Modules></oREC>\n";
        for (size_t start = 0; start < plugins.size();) {
            size_t end = plugins.find(':', start);
            if (end == std::string_view::npos) end = plugins.size();
            fs::path const from(plugins.substr(start, end - start));
            fs::copy_file(from, dir / from.filename());
            plugins_.push_back(dir / from.filename());
            start = end + 1;
        }
        if (beforeStart) beforeStart(root_, plugins_);
        previousDir_ = fs::current_path();
        fs::current_path(root_); // the core and the log plugin work in the working directory

        core_ = new DvrCore((root_ / "bin/dvrcore").string());
        SetCore(core_);
        if (!core_->Init(-1)) throw std::runtime_error("core Init failed");
        runner_ = std::thread([this] { core_->Run(); });
    }
    RunningCore(RunningCore const&) = delete;
    RunningCore& operator=(RunningCore const&) = delete;
    ~RunningCore() {
        core_->Stop();
        runner_.join();
        delete core_;
        SetCore(nullptr);
        std::error_code ec;
        std::filesystem::current_path(previousDir_, ec);
        std::filesystem::remove_all(root_, ec);
    }

    DvrCore& core() { return *core_; }
    std::filesystem::path const& root() const { return root_; }
    /// Where the given plugins were installed, in their order.
    std::vector<std::filesystem::path> const& plugins() const { return plugins_; }

private:
    std::filesystem::path root_, previousDir_;
    std::vector<std::filesystem::path> plugins_;
    DvrCore* core_ = nullptr;
    std::thread runner_;
};

} // namespace testing_support

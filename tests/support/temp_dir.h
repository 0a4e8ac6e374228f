// A folder of a test's own under the system's temporary directory, removed
// with its contents when the test ends; optionally the working directory for
// as long as it lives, put back even when an assertion ends the test early.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testing_support {

class TempDir {
public:
    /// A fresh folder named `prefix` and a unique suffix.
    explicit TempDir(std::string const& prefix = "dvr-test") {
        std::string name = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(name.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp " + name);
        path_ = name;
        // As a folder made with the usual umask: a core that drops to another
        // user still reads the plugins and files a test puts in it.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                                std::filesystem::perms::others_exec);
    }
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    ~TempDir() {
        std::error_code ec;
        if (!previous_.empty()) std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(path_, ec);
    }

    std::filesystem::path const& path() const noexcept { return path_; }
    std::filesystem::path operator/(std::filesystem::path const& rel) const { return path_ / rel; }

    /// Makes the folder the working directory until the object goes.
    void enter() {
        if (previous_.empty()) previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_; ///< working directory before enter(), empty if never entered
};

} // namespace testing_support

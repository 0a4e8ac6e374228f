// Environment variables set for one test and put back as they were after it.
// The test plugins read their behaviour from PROBE_<Name>_* variables, and a
// child core inherits the test's environment.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(ScopedEnv const&) = delete;
    ScopedEnv& operator=(ScopedEnv const&) = delete;
    /// Restores every variable, the last change first.
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    void set(std::string const& name, std::string const& value) {
        char const* previous = std::getenv(name.c_str());
        saved_.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_; ///< names and values before the test
};

} // namespace testing_support

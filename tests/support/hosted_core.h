// A core hosted in-process, without plugins or a parent: the one fixture of the
// tests that need a whole core. Its memory monitor and status summary read a
// fake steady clock, a fake wall clock, a fake RAM size and a fake
// resident-memory reading; what it queues stays in its queue for the test.
#pragma once

#include "support/core_test_access.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testing_support {

using namespace std::chrono_literals;

class HostedCore : public ::testing::Test {
protected:
    void SetUp() override {
        SetCore(&core_);
        DvrCoreTestAccess::probes(core_).steadyNow = [this] { return steady_; };
        DvrCoreTestAccess::probes(core_).wallNow = [this] { return wall_; };
        DvrCoreTestAccess::probes(core_).heapAlloc = [this] { return inUse_; };
        DvrCoreTestAccess::probes(core_).totalRam = [this] { return ram_; };
        DvrCoreTestAccess::probes(core_).cgroupMemory = [] { return uint64_t{0}; };
    }
    void TearDown() override { SetCore(nullptr); }

    /// One timer tick after `step` of both clocks.
    void tick(std::chrono::nanoseconds step) {
        steady_ += step;
        wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(step);
        DvrCoreTestAccess::memCheck(core_);
    }
    /// Payloads of the queued records of one type, oldest first.
    std::vector<std::string> queued(uint32_t type) {
        std::vector<std::string> out;
        for (auto const& e : DvrCoreTestAccess::queued(core_))
            if (e.type == type) out.emplace_back(e.data, e.dataLen);
        return out;
    }
    size_t logged(std::string const& text) {
        size_t n = 0;
        for (auto const& l : queued(OX_TYPE_LOG)) n += l.find(text) != std::string::npos;
        return n;
    }

    DvrCore core_{"/nonexistent/bin/dvrcore"};
    std::chrono::steady_clock::time_point steady_{std::chrono::hours(1000)};
    std::chrono::system_clock::time_point wall_{std::chrono::hours(400000)};
    unsigned inUse_ = 10u << 20;
    uint64_t ram_ = 256ull << 20;
};

} // namespace testing_support

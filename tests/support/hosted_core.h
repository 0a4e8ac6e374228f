// A core hosted in-process, without plugins or a parent: the one fixture of the
// tests that need a whole core. Its memory monitor and status summary read a
// fake steady clock, a fake wall clock, a fake RAM size and a fake
// resident-memory reading; what it queues stays in its queue for the test.
#pragma once

#include "core/dvr_core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testing_support {

using namespace std::chrono_literals;

class HostedCore : public ::testing::Test {
protected:
    void SetUp() override {
        SetCore(&core_);
        core_.probes.steadyNow = [this] { return steady_; };
        core_.probes.wallNow = [this] { return wall_; };
        core_.probes.heapAlloc = [this] { return inUse_; };
        core_.probes.totalRam = [this] { return ram_; };
        core_.probes.cgroupMemory = [] { return uint64_t{0}; };
    }
    void TearDown() override { SetCore(nullptr); }

    /// One timer tick after `step` of both clocks.
    void tick(std::chrono::nanoseconds step) {
        steady_ += step;
        wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(step);
        core_.memCheck({});
    }
    /// Payloads of the queued records of one type, oldest first.
    std::vector<std::string> queued(uint32_t type) {
        std::vector<std::string> out;
        for (auto const& e : core_.queuedSnapshot())
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

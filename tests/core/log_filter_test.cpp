// The log filter of the event path: per-plugin thresholds, the log query, and
// a console that cannot be written, on a core hosted in-process.
#include "support/hosted_core.h"
#include "support/records.h"
#include "support/stdout_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

using testing_support::Record;
using testing_support::StdoutCapture;

using LogFilter = testing_support::HostedCore;

constexpr uint32_t kLiveText = ox::core::kLiveClass | ox::core::kTextPayload;

} // namespace

TEST_F(LogFilter, FilterUsesThePerPluginThreshold) {
    // Default threshold 25 for every plugin id.
    auto low = Record(0x00050000, OX_TYPE_LOG, kLiveText).withLevel(24).withText("too low");
    auto ok = Record(0x00050000, OX_TYPE_LOG, kLiveText).withLevel(25).withText("shown");
    auto quiet = Record(0x00050000, OX_TYPE_LOG, ox::core::kLiveClass).withLevel(50).withText("not echoed");
    auto stored = Record(0x00050000, OX_TYPE_LOG, ox::core::kStoredClass | ox::core::kTextPayload).withText("stored");
    auto empty = Record(0x00050000, OX_TYPE_LOG, kLiveText).withLevel(75).withText("");
    StdoutCapture cap;
    EXPECT_EQ(core_.print(low), 0);
    EXPECT_EQ(core_.print(ok), 1);
    EXPECT_EQ(core_.print(quiet), 1);
    EXPECT_EQ(core_.print(stored), 1);
    EXPECT_EQ(core_.print(empty), 0);
    std::string const out = cap.text();
    EXPECT_EQ(out.find("too low"), std::string::npos);
    EXPECT_NE(out.find("shown"), std::string::npos);
    EXPECT_EQ(out.find("not echoed"), std::string::npos);
    EXPECT_EQ(out.find("stored"), std::string::npos);
}

TEST_F(LogFilter, LogQueryAnswersTheThreshold) {
    auto q = Record(0x00050000, OX_TYPE_LOG, ox::core::kLiveClass | ox::core::kQueryFlag);
    EXPECT_EQ(DvrCore::eventReceiver(&q, nullptr), 25);
    EXPECT_EQ(core_.logLevel(0x80000000 >> 16), 25);
}

TEST_F(LogFilter, ClosedConsoleDoesNotBreakPosting) {
    // Standard output that cannot be written: the event path swallows the
    // console's error and keeps accepting records.
    std::fflush(stdout);
    int saved = ::dup(1);
    int ro = ::open("/dev/null", O_RDONLY);
    ::dup2(ro, 1);
    auto rec = Record(0x00050000, OX_TYPE_LOG, kLiveText).withLevel(50).withText("still accepted");
    EXPECT_EQ(DvrCore::eventReceiver(&rec, nullptr), 0);
    std::clearerr(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(ro);
}

// The memory monitor on fake clocks and readings: limits, episodes with their
// messages and alarms, the 60-second rule, throttling switched off, and wall
// clock jumps.
#include "core/block_cache.h"
#include "core/ref_block.h"
#include "monitor_fixture.h"

#include <filesystem>
#include <unistd.h>


using namespace memtest;

namespace {
constexpr char const* kLow = "available system memory is low, throttling audio/video";
constexpr char const* kOk = "available system memory ok, not throttling audio/video";
constexpr unsigned kOver = 200u << 20; // above 190 MiB
constexpr unsigned kUnder = 100u << 20;
} // namespace

using MemoryMonitor = MonitoredCore;

TEST_F(MemoryMonitor, FirstCheckReportsLimitsOnceAndMeasuresNothing) {
    inUse_ = kOver;
    tick(0ns);
    EXPECT_EQ(logged("memory limits, throttling:190MiB stack:"), 1u);
    EXPECT_FALSE(core_.throttling()); // no measurement before a second has passed
    tick(250ms);
    tick(250ms);
    EXPECT_EQ(logged("memory limits"), 1u);
    EXPECT_FALSE(core_.throttling());
    tick(500ms); // one second since the first call
    EXPECT_TRUE(core_.throttling());
    tick(std::chrono::hours(24)); // a day without a check reports the limits again
    EXPECT_EQ(logged("memory limits"), 2u);
}

TEST_F(MemoryMonitor, LimitIsEightyPercentOfLargeMachines) {
    ram_ = 1ull << 30;
    tick(0ns);
    EXPECT_EQ(logged("memory limits, throttling:819.2MiB"), 1u) << testing::PrintToString(queued(OX_TYPE_LOG));
    inUse_ = 858'993'440; // exactly the limit: not over
    tick(1s);
    EXPECT_FALSE(core_.throttling());
    inUse_ = 858'993'441;
    tick(1s);
    EXPECT_TRUE(core_.throttling());
}

TEST_F(MemoryMonitor, EpisodeHasOneLowAndOneOkWithTheirAlarms) {
    tick(0ns);
    inUse_ = kOver;
    tick(1s);
    tick(1s); // still over: nothing new
    EXPECT_TRUE(core_.throttling());
    EXPECT_EQ(logged(kLow), 1u);
    auto alarms = queued(OX_TYPE_ALARM);
    ASSERT_EQ(alarms.size(), 1u);
    int64_t const ns = std::chrono::duration_cast<std::chrono::nanoseconds>(steady_.time_since_epoch()).count() -
                       1'000'000'000; // the alarm came with the first over-limit check
    EXPECT_EQ(alarms[0], "<?xml?><oREC><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"" +
                             std::to_string(ns / 1'000'000'000) + "\" mseTime=\"" + std::to_string(ns / 1'000'000) +
                             "\"/></oREC>");
    auto const rec = core_.queuedSnapshot();
    auto alarm = std::find_if(rec.begin(), rec.end(), [](auto const& e) { return e.type == OX_TYPE_ALARM; });
    EXPECT_EQ(alarm->source, ox::core::kCoreAddress);
    EXPECT_EQ(alarm->flags, 0x01000010u);
    EXPECT_EQ(alarm->parmsSize, ox::core::kParmsSize);

    // Under the limit: dropping stops at once, the episode runs on for 60 s.
    inUse_ = kUnder;
    tick(1s);
    EXPECT_FALSE(core_.throttling());
    tick(58s); // 59 s after the last over-limit check
    EXPECT_EQ(logged(kOk), 0u);
    inUse_ = kOver; // back over within the episode: no second "low"
    tick(1s);
    EXPECT_TRUE(core_.throttling());
    EXPECT_EQ(logged(kLow), 1u);
    inUse_ = kUnder;
    tick(59s);
    EXPECT_EQ(logged(kOk), 0u);
    tick(1s); // 60 s after the last over-limit check
    EXPECT_EQ(logged(kOk), 1u);
    alarms = queued(OX_TYPE_ALARM);
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_NE(alarms[1].find("Throttling=\"0\""), std::string::npos);
    tick(120s);
    EXPECT_EQ(logged(kOk), 1u);
    EXPECT_EQ(queued(OX_TYPE_ALARM).size(), 2u);
}

TEST_F(MemoryMonitor, DisabledThrottlingStaysSilentButStillMeasures) {
    core_.setThrottlingEnabled(false);
    tick(0ns);
    inUse_ = kOver;
    tick(1s);
    inUse_ = kUnder;
    tick(61s);
    EXPECT_FALSE(core_.throttling());
    EXPECT_EQ(logged(kLow) + logged(kOk), 0u);
    EXPECT_TRUE(queued(OX_TYPE_ALARM).empty());
}

TEST_F(MemoryMonitor, UnreadableMemoryNeverThrottles) {
    inUse_ = 0; // what getHeapAlloc gives without /proc/self/statm
    tick(0ns);
    tick(1s);
    EXPECT_FALSE(core_.throttling());
    EXPECT_GT(getHeapAlloc(), 0u); // the real reading works here
}

TEST_F(MemoryMonitor, WallClockJumpsAreReportedWithTheirSign) {
    tick(0ns);
    wall_ += std::chrono::hours(1);
    tick(1s);
    EXPECT_EQ(logged("system time changed by 3601.00seconds"), 1u) << testing::PrintToString(queued(OX_TYPE_LOG));
    wall_ -= std::chrono::hours(1);
    tick(1s);
    EXPECT_EQ(logged("system time changed by -3599.00seconds"), 1u) << testing::PrintToString(queued(OX_TYPE_LOG));
    // Drift within a second of slack is no jump.
    wall_ += 999ms;
    tick(1s);
    EXPECT_EQ(logged("system time changed"), 2u);
}

TEST_F(MemoryMonitor, StartupAlarmAnnouncesNoThrottling) {
    core_.memAlarm();
    auto const alarms = queued(OX_TYPE_ALARM);
    ASSERT_EQ(alarms.size(), 1u);
    int64_t const ns = std::chrono::duration_cast<std::chrono::nanoseconds>(steady_.time_since_epoch()).count();
    EXPECT_EQ(alarms[0], "<?xml?><oREC><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"" +
                             std::to_string(ns / 1'000'000'000) + "\" mseTime=\"" + std::to_string(ns / 1'000'000) +
                             "\"/></oREC>");
}

TEST_F(MemoryMonitor, ThrottlingGivesBackKeptPayloadBlocks) {
    oxmem::freeRefBlock(oxmem::allocRefBlock(64 * 1024));
    ASSERT_GT(oxmem::cachedBlockBytes(), 0u);
    tick(0ns);
    inUse_ = kOver;
    tick(1s);
    EXPECT_TRUE(core_.throttling());
    EXPECT_EQ(oxmem::cachedBlockBytes(), 0u);
}

TEST_F(MemoryMonitor, AlarmWithoutMemoryIsReportedAndRetriedAtTheNextCheck) {
    // The queue refuses an alarm whose payload it cannot allocate.
    int refusals = 2;
    core_.probes.queueOwn = [&](ox::core::EventParms& e) { return refusals-- > 0 ? 1 : core_.queueEvent(e); };
    tick(0ns);
    inUse_ = kOver;
    tick(1s); // the episode's alarm is refused
    tick(250ms); // and so is the first retry
    EXPECT_TRUE(queued(OX_TYPE_ALARM).empty());
    EXPECT_EQ(logged("memory alarm not posted"), 1u);
    tick(250ms);
    auto const alarms = queued(OX_TYPE_ALARM);
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_NE(alarms[0].find("Throttling=\"1\""), std::string::npos) << alarms[0];
    tick(250ms); // delivered once
    EXPECT_EQ(queued(OX_TYPE_ALARM).size(), 1u);
}

TEST_F(MemoryMonitor, ConfigurationDocumentWithoutMemoryIsReportedAndStillSaved) {
    auto const dir = std::filesystem::temp_directory_path() / ("monitor-config-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto const previous = std::filesystem::current_path();
    std::filesystem::current_path(dir); // core.xml is saved in the working directory
    core_.probes.queueOwn = [](ox::core::EventParms&) { return 1; };
    core_.postConfig();
    std::filesystem::current_path(previous);
    EXPECT_EQ(logged("configuration document not published"), 1u);
    EXPECT_TRUE(std::filesystem::exists(dir / "core.xml"));
    std::filesystem::remove_all(dir);
}

// The memory monitor on fake clocks and readings: limits, episodes with their
// messages and alarms, the 60-second rule, throttling switched off, and wall
// clock jumps.
#include "core/block_cache.h"
#include "support/core_test_access.h"
#include "core/cgroup_memory.h"
#include "core/memory_monitor.h"
#include "core/ref_block.h"
#include "log/log.h"
#include "support/hosted_core.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace testing_support;

namespace {
constexpr char const* kLow = "available system memory is low, throttling audio/video";
constexpr char const* kOk = "available system memory ok, not throttling audio/video";
constexpr unsigned kOver = 200u << 20; // above 190 MiB
constexpr unsigned kUnder = 100u << 20;

/// A monitor of its own, whose alarms and log lines the test keeps.
class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        ox::log::setSink(&sink_);
        monitor_.probes.steadyNow = [this] { return steady_; };
        monitor_.probes.wallNow = [this] { return wall_; };
        monitor_.probes.heapAlloc = [this] { return inUse_; };
        monitor_.probes.totalRam = [this] { return ram_; };
        monitor_.probes.cgroupMemory = [this] { return cgroup_; };
    }
    void TearDown() override { ox::log::setSink(nullptr); }

    /// One timer tick after `step` of both clocks.
    void tick(std::chrono::nanoseconds step) {
        steady_ += step;
        wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(step);
        monitor_.check({});
    }
    /// What the core's queue does with the monitor's records: takes a copy,
    /// or refuses it as when its payload cannot be allocated.
    int post(ox::core::EventParms& e) {
        if (refusals_ > 0) return --refusals_, 1;
        posted_.push_back(e);
        texts_.emplace_back(e.data, e.dataLen);
        return 0;
    }
    /// Payloads of the posted records of one type (log lines for OX_TYPE_LOG), oldest first.
    std::vector<std::string> queued(uint32_t type) {
        if (type == OX_TYPE_LOG) return logs_;
        std::vector<std::string> out;
        for (size_t i = 0; i < posted_.size(); ++i)
            if (posted_[i].type == type) out.push_back(texts_[i]);
        return out;
    }
    size_t logged(std::string const& text) {
        return std::count_if(logs_.begin(), logs_.end(), [&](auto const& l) { return l.find(text) != std::string::npos; });
    }

    std::vector<ox::core::EventParms> posted_;
    std::vector<std::string> texts_, logs_;
    int refusals_ = 0; ///< posts still to be refused
    ox::log::Sink const sink_{this, [](void*) noexcept { return int32_t{kDefaultLogThreshold}; },
                              [](void* self, LogLevel, std::string_view text) {
                                  static_cast<Monitor*>(self)->logs_.emplace_back(text);
                              }};
    boost::asio::io_context io_;
    ox::core::MemoryMonitor monitor_{io_, [this](ox::core::EventParms& e) { return post(e); }};
    std::chrono::steady_clock::time_point steady_{std::chrono::hours(1000)};
    std::chrono::system_clock::time_point wall_{std::chrono::hours(400000)};
    unsigned inUse_ = 10u << 20;
    uint64_t ram_ = 256ull << 20;
    uint64_t cgroup_ = 0;
};
} // namespace

TEST_F(Monitor, FirstCheckReportsLimitsOnceAndMeasuresNothing) {
    inUse_ = kOver;
    tick(0ns);
    EXPECT_EQ(logged("memory limits, throttling:190MiB stack:"), 1u);
    EXPECT_FALSE(monitor_.throttling()); // no measurement before a second has passed
    tick(250ms);
    tick(250ms);
    EXPECT_EQ(logged("memory limits"), 1u);
    EXPECT_FALSE(monitor_.throttling());
    tick(500ms); // one second since the first call
    EXPECT_TRUE(monitor_.throttling());
    tick(std::chrono::hours(24)); // a day without a check reports the limits again
    EXPECT_EQ(logged("memory limits"), 2u);
}

TEST_F(Monitor, LimitIsEightyPercentOfLargeMachines) {
    ram_ = 1ull << 30;
    tick(0ns);
    EXPECT_EQ(logged("memory limits, throttling:819.2MiB"), 1u) << testing::PrintToString(queued(OX_TYPE_LOG));
    inUse_ = 858'993'440; // exactly the limit: not over
    tick(1s);
    EXPECT_FALSE(monitor_.throttling());
    inUse_ = 858'993'441;
    tick(1s);
    EXPECT_TRUE(monitor_.throttling());
}

TEST_F(Monitor, EpisodeHasOneLowAndOneOkWithTheirAlarms) {
    tick(0ns);
    inUse_ = kOver;
    tick(1s);
    tick(1s); // still over: nothing new
    EXPECT_TRUE(monitor_.throttling());
    EXPECT_EQ(logged(kLow), 1u);
    auto alarms = queued(OX_TYPE_ALARM);
    ASSERT_EQ(alarms.size(), 1u);
    int64_t const ns = std::chrono::duration_cast<std::chrono::nanoseconds>(steady_.time_since_epoch()).count() -
                       1'000'000'000; // the alarm came with the first over-limit check
    EXPECT_EQ(alarms[0], "<?xml?><oREC><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"" +
                             std::to_string(ns / 1'000'000'000) + "\" mseTime=\"" + std::to_string(ns / 1'000'000) +
                             "\"/></oREC>");
    auto alarm = std::find_if(posted_.begin(), posted_.end(), [](auto const& e) { return e.type == OX_TYPE_ALARM; });
    EXPECT_EQ(alarm->source, ox::core::kCoreAddress);
    EXPECT_EQ(alarm->flags, 0x01000010u);
    EXPECT_EQ(alarm->parmsSize, ox::core::kParmsSize);

    // Under the limit: dropping stops at once, the episode runs on for 60 s.
    inUse_ = kUnder;
    tick(1s);
    EXPECT_FALSE(monitor_.throttling());
    tick(58s); // 59 s after the last over-limit check
    EXPECT_EQ(logged(kOk), 0u);
    inUse_ = kOver; // back over within the episode: no second "low"
    tick(1s);
    EXPECT_TRUE(monitor_.throttling());
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

TEST_F(Monitor, DisabledThrottlingStaysSilentButStillMeasures) {
    monitor_.setEnabled(false);
    tick(0ns);
    inUse_ = kOver;
    tick(1s);
    inUse_ = kUnder;
    tick(61s);
    EXPECT_FALSE(monitor_.throttling());
    EXPECT_EQ(logged(kLow) + logged(kOk), 0u);
    EXPECT_TRUE(queued(OX_TYPE_ALARM).empty());
}

TEST_F(Monitor, FailedReadingKeepsTheLastValueAndIsReportedOnce) {
    tick(0ns);
    inUse_ = kOver;
    tick(1s);
    ASSERT_TRUE(monitor_.throttling());
    inUse_ = 0; // what getHeapAlloc gives when the reading fails
    tick(1s);
    tick(1s);
    EXPECT_TRUE(monitor_.throttling()); // protection stays on
    EXPECT_EQ(monitor_.inUse(), kOver);
    EXPECT_EQ(logged("resident memory cannot be read"), 1u);
    inUse_ = kUnder;
    tick(1s);
    EXPECT_FALSE(monitor_.throttling());
    EXPECT_EQ(logged("resident memory can be read again"), 1u);
}

TEST(ResidentMemory, IsStillReadWhenDescriptorsAreExhausted) {
    ASSERT_GT(getHeapAlloc(), 0u); // opens the file, as Init does
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 3; // no new descriptor past the standard streams
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    int const probe = ::open("/dev/null", O_RDONLY);
    unsigned const reading = getHeapAlloc();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    if (probe >= 0) ::close(probe);
    ASSERT_LT(probe, 0) << "descriptors were not exhausted";
    EXPECT_GT(reading, 0u);
}

TEST_F(Monitor, MemoryCgroupBelowTheMachineSetsTheLimit) {
    ram_ = 1ull << 30;
    cgroup_ = 300ull << 20; // the appliance rule on 300 MiB: 190 MiB
    tick(0ns);
    EXPECT_EQ(logged("memory limits, throttling:190MiB"), 1u) << testing::PrintToString(queued(OX_TYPE_LOG));
    EXPECT_EQ(logged("memory cgroup limit 300MiB"), 1u);
    inUse_ = kOver;
    tick(1s);
    EXPECT_TRUE(monitor_.throttling());
}

TEST_F(Monitor, SmallOrLargeMemoryCgroups) {
    for (auto [group, text] : {std::pair{128ull << 20, "102.4MiB"}, std::pair{4ull << 30, "819.2MiB"}}) {
        ox::core::MemoryMonitor m{io_, [this](ox::core::EventParms& e) { return post(e); }};
        m.probes = monitor_.probes;
        m.probes.totalRam = [] { return uint64_t{1} << 30; };
        m.probes.cgroupMemory = [group = group] { return group; };
        logs_.clear();
        m.check({});
        EXPECT_EQ(logged(std::string("memory limits, throttling:") + text), 1u) << testing::PrintToString(logs_);
    }
}

TEST(CgroupMemory, LimitFilesRunFromTheGroupUpToTheRoot) {
    std::string const mountinfo =
        "30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
        "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
        "35 30 0:32 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "40 30 0:40 /ns /sys/fs/cgroup/unified rw shared:9 - cgroup2 cgroup2 rw\n";
    std::string const cgroups = "4:memory:/box/core\n1:cpu:/other\n0::/ns/svc\n";
    EXPECT_EQ(ox::core::cgroupLimitFiles(cgroups, mountinfo),
              (std::vector<std::string>{"/sys/fs/cgroup/memory/box/core/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/memory/box/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/memory/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/unified/svc/memory.max", "/sys/fs/cgroup/unified/memory.max"}));
    // A group outside what is mounted, and no memory controller at all.
    EXPECT_TRUE(ox::core::cgroupLimitFiles("0::/elsewhere\n", mountinfo).empty());
    EXPECT_TRUE(ox::core::cgroupLimitFiles("1:cpu:/x\n", mountinfo).empty());
    EXPECT_EQ(ox::core::parseCgroupLimit("314572800\n"), 314572800u);
    EXPECT_EQ(ox::core::parseCgroupLimit("max\n"), 0u);
    EXPECT_EQ(ox::core::parseCgroupLimit(""), 0u);
}

TEST_F(Monitor, WallClockJumpsAreReportedWithTheirSign) {
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

TEST_F(Monitor, StartupAlarmAnnouncesNoThrottling) {
    monitor_.alarm();
    auto const alarms = queued(OX_TYPE_ALARM);
    ASSERT_EQ(alarms.size(), 1u);
    int64_t const ns = std::chrono::duration_cast<std::chrono::nanoseconds>(steady_.time_since_epoch()).count();
    EXPECT_EQ(alarms[0], "<?xml?><oREC><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"" +
                             std::to_string(ns / 1'000'000'000) + "\" mseTime=\"" + std::to_string(ns / 1'000'000) +
                             "\"/></oREC>");
}

TEST_F(Monitor, ThrottlingGivesBackKeptPayloadBlocks) {
    oxmem::freeRefBlock(oxmem::allocRefBlock(64 * 1024));
    ASSERT_GT(oxmem::cachedBlockBytes(), 0u);
    tick(0ns);
    inUse_ = kOver;
    tick(1s);
    EXPECT_TRUE(monitor_.throttling());
    EXPECT_EQ(oxmem::cachedBlockBytes(), 0u);
}

TEST_F(Monitor, AlarmWithoutMemoryIsReportedAndRetriedAtTheNextCheck) {
    // The queue refuses an alarm whose payload it cannot allocate.
    refusals_ = 2;
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

TEST_F(HostedCore, ConfigurationDocumentWithoutMemoryIsReportedAndStillSaved) {
    testing_support::TempDir dir("monitor-config");
    dir.enter(); // core.xml is saved in the working directory
    // The queue takes nothing, so its lines are caught where they are written.
    DvrCoreTestAccess::closeQueue(core_);
    std::string lines;
    ox::log::Sink const sink{&lines, [](void*) noexcept { return int32_t{0}; },
                             [](void* out, LogLevel, std::string_view text) {
                                 static_cast<std::string*>(out)->append(text).append("\n");
                             }};
    ox::log::setSink(&sink);
    core_.postConfig();
    SetCore(&core_); // its own sink again
    EXPECT_NE(lines.find("configuration document not published"), std::string::npos) << lines;
    EXPECT_TRUE(std::filesystem::exists(dir / "core.xml"));
}

// Which plugin is offered which event, over types, classes, own/not own, the
// output bit and request ids.
#include "plugin/consumer_match.h"

#include "support/records.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using testing_support::Record;

constexpr uint32_t C = OX_CONSUMES;
constexpr uint32_t L = OX_LIVE_CLASS;

PluginInfo plugin(uint32_t address, uint32_t consumeTypes = 0) {
    PluginInfo p;
    std::memset(&p, 0, sizeof p);
    p.address = address;
    auto word = [&](uint32_t t) { return (consumeTypes & t) ? C : 0u; };
    p.video = word(OX_TYPE_VIDEO);
    p.audio = word(OX_TYPE_AUDIO);
    p.alarm = word(OX_TYPE_ALARM);
    p.ptz = word(OX_TYPE_PTZ);
    p.serial = word(OX_TYPE_SERIAL);
    p.log = word(OX_TYPE_LOG);
    p.pos = word(OX_TYPE_POS);
    p.analytic = word(OX_TYPE_ANALYTIC);
    return p;
}

constexpr uint32_t kAll = OX_TYPE_VIDEO | OX_TYPE_AUDIO | OX_TYPE_ALARM | OX_TYPE_PTZ | OX_TYPE_SERIAL | OX_TYPE_LOG |
                          OX_TYPE_POS | OX_TYPE_ANALYTIC;

} // namespace

TEST(ConsumerMatch, LiveMediaFromItselfOnlyWhenOutput) {
    auto const five = plugin(0x00050000, kAll), other = plugin(0x00070000, OX_TYPE_VIDEO),
               deaf = plugin(0x00080000);
    for (uint32_t t : {OX_TYPE_VIDEO, OX_TYPE_AUDIO}) {
        EXPECT_FALSE(consumerMatch(five, Record(0x00050003, t, L)));
        EXPECT_TRUE(consumerMatch(five, Record(0x00050003, t, L).withMedia(OX_OUTPUT_BIT)));
        EXPECT_FALSE(consumerMatch(deaf, Record(0x00050003, t, L)));
    }
    EXPECT_TRUE(consumerMatch(other, Record(0x00050003, OX_TYPE_VIDEO, L)));
    EXPECT_FALSE(consumerMatch(other, Record(0x00050003, OX_TYPE_AUDIO, L)));
}

TEST(ConsumerMatch, ModifiedMediaGoesByTypeWordExceptToIdZero) {
    auto const five = plugin(0x00050000, OX_TYPE_VIDEO), zero = plugin(0x00000000, kAll),
               core = plugin(0x80000000, kAll);
    EXPECT_TRUE(consumerMatch(five, Record(0x00050003, 0x4001, L)));
    EXPECT_FALSE(consumerMatch(zero, Record(0x00050003, 0x4001, L)));
    EXPECT_TRUE(consumerMatch(core, Record(0x00050003, 0x4002, L)));
}

TEST(ConsumerMatch, StoredEventsOnlyToTheRequester) {
    auto const seven = plugin(0x00070000), eight = plugin(0x00080000, kAll), core = plugin(0x80000000, kAll);
    for (uint32_t t : {OX_TYPE_VIDEO, OX_TYPE_LOG, OX_TYPE_CANCEL, 0x800u}) {
        auto e = Record(0x00080000, t, OX_STORED_CLASS).withRequest(0x00070001);
        EXPECT_TRUE(consumerMatch(seven, e)) << t;
        EXPECT_FALSE(consumerMatch(eight, e)) << t;
        EXPECT_FALSE(consumerMatch(core, e)) << t;
    }
    EXPECT_TRUE(consumerMatch(core, Record(0x00080000, 1, OX_STORED_CLASS).withRequest(0x80000000)));
}

TEST(ConsumerMatch, ConfigurationGoesToEveryoneElse) {
    auto const five = plugin(0x00050000), core = plugin(0x80000000);
    EXPECT_TRUE(consumerMatch(five, Record(0x80000000, OX_TYPE_CONFIG, L)));
    EXPECT_FALSE(consumerMatch(core, Record(0x80000000, OX_TYPE_CONFIG, L)));
    EXPECT_TRUE(consumerMatch(core, Record(0x80000000, OX_TYPE_CONFIG, L).withLevel(1)));
    EXPECT_FALSE(consumerMatch(five, Record(0x00050002, OX_TYPE_CONFIG, L)));
    EXPECT_TRUE(consumerMatch(five, Record(0x00050002, OX_TYPE_CONFIG, L).withLevel(7)));
    EXPECT_TRUE(consumerMatch(core, Record(0x00050002, OX_TYPE_CONFIG, L)));
}

TEST(ConsumerMatch, OwnLogNeverComesBack) {
    auto const five = plugin(0x00050000, OX_TYPE_LOG), six = plugin(0x00060000, OX_TYPE_LOG);
    EXPECT_FALSE(consumerMatch(five, Record(0x00050001, OX_TYPE_LOG, L)));
    EXPECT_TRUE(consumerMatch(six, Record(0x00050001, OX_TYPE_LOG, L)));
    EXPECT_TRUE(consumerMatch(five, Record(0x80000000, OX_TYPE_LOG, L)));
}

TEST(ConsumerMatch, WatchdogOnlyToTheNamedPlugin) {
    EXPECT_TRUE(consumerMatch(plugin(0x00090000), Record(0x00090004, OX_TYPE_WATCHDOG, L)));
    EXPECT_FALSE(consumerMatch(plugin(0x00050000, kAll), Record(0x00090004, OX_TYPE_WATCHDOG, L)));
    EXPECT_TRUE(consumerMatch(plugin(0x80000000), Record(0x80000000, OX_TYPE_WATCHDOG, L)));
}

TEST(ConsumerMatch, TypeWordsDecideTheRest) {
    for (uint32_t t : {OX_TYPE_ALARM, OX_TYPE_PTZ, OX_TYPE_SERIAL, OX_TYPE_POS}) {
        EXPECT_TRUE(consumerMatch(plugin(0x00050000, t), Record(0x00050000, t, L))) << t; // even its own
        EXPECT_FALSE(consumerMatch(plugin(0x00050000, kAll & ~t), Record(0x00060000, t, L))) << t;
    }
    EXPECT_TRUE(consumerMatch(plugin(0x00050000, OX_TYPE_ANALYTIC), Record(0x00060000, OX_TYPE_ANALYTIC, L)));
    EXPECT_FALSE(consumerMatch(plugin(0x00050000, OX_TYPE_ANALYTIC), Record(0x00050000, OX_TYPE_ANALYTIC, L)));
    EXPECT_TRUE(consumerMatch(plugin(0x00050000), Record(0x00050000, OX_TYPE_ANALYTIC, L).withLevel(1)));
}

TEST(ConsumerMatch, CoreServiceTypesNeverMatch) {
    auto const greedy = plugin(0x00050000, kAll | 0xFFFFFFFFu);
    for (uint32_t t : {0u, OX_TYPE_DECREF, OX_TYPE_CANCEL, OX_TYPE_IPC, OX_TYPE_CRYPTO, 0x800u, 0x20000u})
        EXPECT_FALSE(consumerMatch(greedy, Record(0x00060000, t, L))) << t;
}

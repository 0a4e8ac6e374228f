// Which plugin is offered which event, over types, classes, own/not own, the
// output bit and request ids.
#include "plugin/consumer_match.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t C = OX_CONSUMES;

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

ox::core::EventParms event(uint32_t type, uint32_t source, uint32_t flags = OX_LIVE_CLASS, uint8_t media = 0,
                           uint32_t w40 = 0, uint32_t requestId = 0) {
    ox::core::EventParms e;
    std::memset(&e, 0, sizeof e);
    e.type = type;
    e.source = source;
    e.flags = flags;
    e.mediaFlags = media;
    e.level = static_cast<int32_t>(w40);
    e.requestId = requestId;
    return e;
}

constexpr uint32_t kAll = OX_TYPE_VIDEO | OX_TYPE_AUDIO | OX_TYPE_ALARM | OX_TYPE_PTZ | OX_TYPE_SERIAL | OX_TYPE_LOG |
                          OX_TYPE_POS | OX_TYPE_ANALYTIC;

} // namespace

TEST(ConsumerMatch, LiveMediaFromItselfOnlyWhenOutput) {
    auto const five = plugin(0x00050000, kAll), other = plugin(0x00070000, OX_TYPE_VIDEO),
               deaf = plugin(0x00080000);
    for (uint32_t t : {OX_TYPE_VIDEO, OX_TYPE_AUDIO}) {
        EXPECT_FALSE(consumerMatch(five, event(t, 0x00050003)));
        EXPECT_TRUE(consumerMatch(five, event(t, 0x00050003, OX_LIVE_CLASS, OX_OUTPUT_BIT)));
        EXPECT_FALSE(consumerMatch(deaf, event(t, 0x00050003)));
    }
    EXPECT_TRUE(consumerMatch(other, event(OX_TYPE_VIDEO, 0x00050003)));
    EXPECT_FALSE(consumerMatch(other, event(OX_TYPE_AUDIO, 0x00050003)));
}

TEST(ConsumerMatch, ModifiedMediaGoesByTypeWordExceptToIdZero) {
    auto const five = plugin(0x00050000, OX_TYPE_VIDEO), zero = plugin(0x00000000, kAll),
               core = plugin(0x80000000, kAll);
    EXPECT_TRUE(consumerMatch(five, event(0x4001, 0x00050003)));
    EXPECT_FALSE(consumerMatch(zero, event(0x4001, 0x00050003)));
    EXPECT_TRUE(consumerMatch(core, event(0x4002, 0x00050003)));
}

TEST(ConsumerMatch, StoredEventsOnlyToTheRequester) {
    auto const seven = plugin(0x00070000), eight = plugin(0x00080000, kAll), core = plugin(0x80000000, kAll);
    for (uint32_t t : {OX_TYPE_VIDEO, OX_TYPE_LOG, OX_TYPE_CANCEL, 0x800u}) {
        auto e = event(t, 0x00080000, OX_STORED_CLASS, 0, 0, 0x00070001);
        EXPECT_TRUE(consumerMatch(seven, e)) << t;
        EXPECT_FALSE(consumerMatch(eight, e)) << t;
        EXPECT_FALSE(consumerMatch(core, e)) << t;
    }
    EXPECT_TRUE(consumerMatch(core, event(1, 0x00080000, OX_STORED_CLASS, 0, 0, 0x80000000)));
}

TEST(ConsumerMatch, ConfigurationGoesToEveryoneElse) {
    auto const five = plugin(0x00050000), core = plugin(0x80000000);
    EXPECT_TRUE(consumerMatch(five, event(OX_TYPE_CONFIG, 0x80000000)));
    EXPECT_FALSE(consumerMatch(core, event(OX_TYPE_CONFIG, 0x80000000)));
    EXPECT_TRUE(consumerMatch(core, event(OX_TYPE_CONFIG, 0x80000000, OX_LIVE_CLASS, 0, 1)));
    EXPECT_FALSE(consumerMatch(five, event(OX_TYPE_CONFIG, 0x00050002)));
    EXPECT_TRUE(consumerMatch(five, event(OX_TYPE_CONFIG, 0x00050002, OX_LIVE_CLASS, 0, 7)));
    EXPECT_TRUE(consumerMatch(core, event(OX_TYPE_CONFIG, 0x00050002)));
}

TEST(ConsumerMatch, OwnLogNeverComesBack) {
    auto const five = plugin(0x00050000, OX_TYPE_LOG), six = plugin(0x00060000, OX_TYPE_LOG);
    EXPECT_FALSE(consumerMatch(five, event(OX_TYPE_LOG, 0x00050001)));
    EXPECT_TRUE(consumerMatch(six, event(OX_TYPE_LOG, 0x00050001)));
    EXPECT_TRUE(consumerMatch(five, event(OX_TYPE_LOG, 0x80000000)));
}

TEST(ConsumerMatch, WatchdogOnlyToTheNamedPlugin) {
    EXPECT_TRUE(consumerMatch(plugin(0x00090000), event(OX_TYPE_WATCHDOG, 0x00090004)));
    EXPECT_FALSE(consumerMatch(plugin(0x00050000, kAll), event(OX_TYPE_WATCHDOG, 0x00090004)));
    EXPECT_TRUE(consumerMatch(plugin(0x80000000), event(OX_TYPE_WATCHDOG, 0x80000000)));
}

TEST(ConsumerMatch, TypeWordsDecideTheRest) {
    for (uint32_t t : {OX_TYPE_ALARM, OX_TYPE_PTZ, OX_TYPE_SERIAL, OX_TYPE_POS}) {
        EXPECT_TRUE(consumerMatch(plugin(0x00050000, t), event(t, 0x00050000))) << t; // even its own
        EXPECT_FALSE(consumerMatch(plugin(0x00050000, kAll & ~t), event(t, 0x00060000))) << t;
    }
    EXPECT_TRUE(consumerMatch(plugin(0x00050000, OX_TYPE_ANALYTIC), event(OX_TYPE_ANALYTIC, 0x00060000)));
    EXPECT_FALSE(consumerMatch(plugin(0x00050000, OX_TYPE_ANALYTIC), event(OX_TYPE_ANALYTIC, 0x00050000)));
    EXPECT_TRUE(consumerMatch(plugin(0x00050000), event(OX_TYPE_ANALYTIC, 0x00050000, OX_LIVE_CLASS, 0, 1)));
}

TEST(ConsumerMatch, CoreServiceTypesNeverMatch) {
    auto const greedy = plugin(0x00050000, kAll | 0xFFFFFFFFu);
    for (uint32_t t : {0u, OX_TYPE_DECREF, OX_TYPE_CANCEL, OX_TYPE_IPC, OX_TYPE_CRYPTO, 0x800u, 0x20000u})
        EXPECT_FALSE(consumerMatch(greedy, event(t, 0x00060000))) << t;
}

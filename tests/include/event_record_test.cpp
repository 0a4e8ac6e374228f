// The event record's layout, the type catalogue and the typed views.
#include "dvrcore/documents.h"
#include "dvrcore/event_parms.h"
#include "support/records.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

using namespace ox::core;
using testing_support::Record;

namespace {

template <class View>
bool holds(std::any const& a, EventParms const& e) {
    auto const* const* p = std::any_cast<View const*>(&a);
    return p && static_cast<void const*>(*p) == static_cast<void const*>(&e);
}

} // namespace

TEST(EventRecord, PluginIdOfAddressWords) {
    EXPECT_EQ(pluginIdOf(0x80000000u), 0u);
    EXPECT_EQ(pluginIdOf(0x0000ABCDu), 0u);
    EXPECT_EQ(pluginIdOf(0x00270005u), 0x27u);
    EXPECT_EQ(pluginIdOf(0x81FF0000u), 0xFFu);
}

// The conventions plugins share: the camera in a media record's source, the
// alarm document, the settings file name.
TEST(EventRecord, SharedConventions) {
    EXPECT_EQ(ox_cameraOf(0x00310102u), 2u); // stream 1, camera 2
    EXPECT_EQ(ox_cameraOf(OX_CORE_ADDRESS), 0u);
    auto video = makeEvent(0x00310002u, OX_TYPE_VIDEO, kStoredClass);
    EXPECT_EQ(std::any_cast<StoredVideoEvt const*>(toAny(video))->camera(), 2u);

    char xml[256];
    int const n = ox_formatAlarm(xml, sizeof xml, 0x00310002u, 2, OX_ALARM_MOTION, 1, 1765364400120ull);
    EXPECT_STREQ(xml, "<?xml version=\"1.0\"?><oREC><Alarm ID=\"3211264\" Camera=\"2\" Kind=\"Motion\" State=\"1\" "
                      "Time=\"1765364400\" mseTime=\"1765364400120\"/></oREC>");
    EXPECT_EQ(n, static_cast<int>(std::strlen(xml)));
    EXPECT_EQ(ox_documentIdOf(OX_CORE_ADDRESS), INT32_MIN);

    char file[32];
    EXPECT_EQ(ox_settingsFile(file, sizeof file, "MotionAlarm.so"), 15);
    EXPECT_STREQ(file, "motionalarm.xml");
    char tiny[6];
    EXPECT_EQ(ox_settingsFile(tiny, sizeof tiny, "MotionAlarm.so"), 15); // cut, as snprintf cuts
    EXPECT_STREQ(tiny, "motio");
}

TEST(EventRecord, PrintedTypeNames) {
    EXPECT_STREQ(typeName(0), "unspecified");
    EXPECT_STREQ(typeName(0x40), "log");
    EXPECT_STREQ(typeName(0x10000), "analytic");
    EXPECT_STREQ(typeName(0x800), "unknown");
    EXPECT_STREQ(typeName(typeOf(Record(0, 0x4001))), "video");
}

TEST(EventRecord, ToAnyPicksTheViewOfEachKind) {
    struct Case {
        uint32_t type, flags;
        uint8_t media;
        bool (*check)(std::any const&, EventParms const&);
    };
    Case const cases[] = {
        {1, kLiveClass, 0, holds<VideoEvt>},
        {1, kLiveClass, OX_OUTPUT_BIT, holds<VideoOutEvt>},
        {0x4001, kLiveClass, OX_OUTPUT_BIT, holds<VideoEvt>}, // output view only for the plain type
        {1, kStoredClass, OX_OUTPUT_BIT, holds<StoredVideoEvt>},
        {2, kLiveClass, 0, holds<AudioEvt>},
        {2, kLiveClass, OX_OUTPUT_BIT, holds<AudioOutEvt>},
        {0x4002, kLiveClass, OX_OUTPUT_BIT, holds<AudioEvt>},
        {2, kStoredClass, 0, holds<StoredAudioEvt>},
        {4, kLiveClass, 0, holds<AlarmEvt>},
        {4, kStoredClass, 0, holds<StoredAlarmEvt>},
        {8, kStoredClass, 0, holds<PTZEvt>},
        {0x10, 0, 0, holds<SerialEvt>},
        {0x20, kStoredClass, 0, holds<WatchdogEvt>},
        {0x40, kLiveClass, 0, holds<LogEvt>},
        {0x40, kStoredClass, 0, holds<StoredLogEvt>},
        {0x100, kStoredClass, 0, holds<ConfigEvt>},
        {0x400, kLiveClass, 0, holds<POSEvt>},
        {0x400, kStoredClass, 0, holds<StoredPOSEvt>},
        {0x10000, kLiveClass, 0, holds<AnalyticEvt>},
        {0x10000, kStoredClass, 0, holds<StoredAnalyticEvt>},
    };
    for (auto const& c : cases) {
        EventParms e = Record(0, c.type, c.flags).withMedia(c.media);
        EXPECT_TRUE(c.check(toAny(e), e)) << "type " << c.type << " flags " << c.flags;
    }
}

TEST(EventRecord, ToAnyIsEmptyForKindsWithoutView) {
    for (uint32_t t : {0x0u, 0x200u, 0x1000u, 0x2000u, 0x8000u, 0x800u, 0x20000u})
        EXPECT_FALSE(toAny(Record(0, t, kLiveClass)).has_value()) << t;
}

TEST(EventRecord, AnyCastFollowsTheExactViewType) {
    EventParms e = Record(0, 1, kLiveClass).withMedia(OX_OUTPUT_BIT);
    std::any a = toAny(e);
    EXPECT_EQ(std::any_cast<VideoEvt const*>(&a), nullptr);
    EXPECT_THROW(std::any_cast<AudioEvt const*>(a), std::bad_any_cast);
    EXPECT_TRUE(std::any_cast<VideoOutEvt const*>(a)->output());
}

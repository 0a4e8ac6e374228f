/*
 * EventCounter: an example plugin in plain C (C99). It counts the live video
 * and audio records and the alarms it is offered, per camera (bits 0..7 of
 * `source`), and logs the counts every 100 video frames and at Close. It
 * keeps no payload, so OnEvent returns 0 and the core releases each at once.
 */
#include <dvrcore/plugin_interface.h>

#include <stdio.h>
#include <string.h>

#define ADDRESS 0x00330000u /* plugin id 0x33 */
#define CAMERAS 256u        /* camera numbers 0..255 */
#define REPORT_EVERY 100u

struct Counts {
    unsigned long video, keyFrames, audio, alarms;
};

/* Written in Load; the posting callback may be called from any thread. */
static ox_EventCallback g_post;
/* Dispatcher thread only (OnEvent), then Close on the same main thread. */
static struct Counts g_counts[CAMERAS];
static unsigned long g_videoTotal;

static void logText(int32_t level, char* text) {
    ox_EventParms e;
    ox_initEvent(&e, ADDRESS, OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD);
    e.data = text;
    e.dataLen = (uint32_t)strlen(text);
    e.level = level;
    g_post(&e, NULL); /* the core copies the text before it returns */
}

static void report(char const* when) {
    unsigned camera;
    for (camera = 0; camera < CAMERAS; ++camera) {
        struct Counts const* c = &g_counts[camera];
        char line[160];
        if (!c->video && !c->audio && !c->alarms) continue;
        snprintf(line, sizeof line, "%s: camera %u: %lu video (%lu key), %lu audio, %lu alarm(s)", when, camera,
                 c->video, c->keyFrames, c->audio, c->alarms);
        logText(OX_LOG_INFO, line);
    }
}

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    memset(g_counts, 0, sizeof g_counts);
    g_videoTotal = 0;
    out->address = ADDRESS;
    out->video = OX_CONSUMES;
    out->audio = OX_CONSUMES;
    out->alarm = OX_CONSUMES;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const* in, UnloadResult* out) {
    (void)in;
    (void)out;
    return 0;
}

OX_PLUGIN_EXPORT int Open(OpenParams const* in, OpenResult* out) {
    (void)in;
    (void)out;
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const* in, CloseResult* out) {
    (void)in;
    (void)out;
    report("at close");
    return 0;
}

OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    struct Counts* c = &g_counts[ox_cameraOf(e->source)];
    switch (e->type & ~OX_TYPE_MODIFIER) {
    case OX_TYPE_VIDEO:
        ++c->video;
        if ((e->frameKind & OX_FRAME_KIND_MASK) == OX_KEY_FRAME) ++c->keyFrames;
        if (++g_videoTotal % REPORT_EVERY == 0) report("so far");
        break;
    case OX_TYPE_AUDIO: ++c->audio; break;
    case OX_TYPE_ALARM: ++c->alarms; break;
    default: break; /* configuration documents reach every plugin */
    }
    return OX_EVENT_DONE;
}

/*
 * The XML documents plugins exchange and must spell alike to work together:
 * the alarm, PTZ, analytic and stored point-of-sale documents, the settings a
 * plugin keeps, and the search request text. The core reads none of them
 * (only its own configuration delta, dvrcore/plugin_interface.h); these are
 * the conventions of the shipped and example plugins, and the checker's
 * events follow them. docs/plugin-guide.md ("Conventions plugins share")
 * has an example record of each.
 *
 * Self-contained C (C99 and later) and C++; needs <stdint.h>, <stddef.h>,
 * <stdio.h> and <inttypes.h>.
 *
 * Every document: the declaration OX_DOC_DECLARATION, a root OX_DOC_ROOT
 * ("oREC", as the core's own configuration and memory alarm), one element.
 * Attribute values are decimal numbers or plain words (no quotes, '&' or
 * '<'). Consumers look for their element by name and ignore attributes
 * they do not know, so a producer may add its own.
 *
 * `ID` is always the poster's address word AND 0x00FF0000 in signed decimal,
 * as in the core's configuration document: 4456448 for plugin id 0x44, and
 * -2147483648 for the core (ox_documentIdOf). `Camera` is the camera number
 * (1..255, 0 = not tied to a camera), as in bits 0..7 of a media record's
 * `source` (dvrcore/event_parms.h). `Time` and `mseTime` are the wall clock
 * (UTC, Unix epoch) in whole seconds and in milliseconds; only the core's
 * memory alarm (element `Memory`) carries the steady clock there.
 */
#ifndef OX_DOCUMENTS_H
#define OX_DOCUMENTS_H

#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "event_parms.h"

#define OX_DOC_DECLARATION "<?xml version=\"1.0\"?>"
#define OX_DOC_ROOT "oREC"

/* `ID` of a document posted from `address`. */
static inline int32_t ox_documentIdOf(uint32_t address) {
    return address == OX_CORE_ADDRESS ? INT32_MIN : (int32_t)(address & OX_PLUGIN_ID_MASK);
}

/*
 * Alarm: type OX_TYPE_ALARM, OX_LIVE_CLASS | OX_XML_PAYLOAD, `source` the
 * poster's address (camera bits may be set too).
 *   <?xml version="1.0"?><oREC><Alarm ID="4456448" Camera="1" Kind="Motion"
 *    State="1" Time="1765364400" mseTime="1765364400123"/></oREC>
 * Kind: one of the words below or one of the producer's own; State "1" raised,
 * "0" cleared; Kind "Input" adds Input="n", the digital input's number.
 * The core's memory alarm is the other alarm document:
 *   <?xml?><oREC><Memory ID="-2147483648" Throttling="1" Time=".." mseTime=".."/></oREC>
 */
#define OX_ALARM_ELEMENT "Alarm"
#define OX_ALARM_MOTION "Motion"
#define OX_ALARM_INPUT "Input"
#define OX_ALARM_VIDEO_LOSS "VideoLoss"
#define OX_ALARM_TAMPER "Tamper"

/* Writes the alarm document into `out` (snprintf's contract: the length it
 * needs, not counting the NUL; at most `size` - 1 bytes written). The
 * record's payload is the text without its NUL. */
static inline int ox_formatAlarm(char* out, size_t size, uint32_t address, unsigned camera, char const* kind,
                                 int raised, uint64_t msTime) {
    return snprintf(out, size,
                    OX_DOC_DECLARATION "<" OX_DOC_ROOT "><" OX_ALARM_ELEMENT " ID=\"%" PRId32
                                       "\" Camera=\"%u\" Kind=\"%s\" State=\"%d\" Time=\"%" PRIu64
                                       "\" mseTime=\"%" PRIu64 "\"/></" OX_DOC_ROOT ">",
                    ox_documentIdOf(address), camera, kind, raised ? 1 : 0, msTime / 1000u, msTime);
}

/*
 * PTZ command: type OX_TYPE_PTZ, XML payload; every plugin consuming ptz gets
 * it, the camera plugin named by `Target` (its `ID`) acts on it.
 *   <?xml version="1.0"?><oREC><PTZ ID="4390912" Target="4259840" Camera="1"
 *    Action="Move" Pan="-50" Tilt="0" Zoom="10"/></oREC>
 * Action "Move": Pan, Tilt, Zoom are speeds -100..100 until the next command;
 * "Stop"; "GotoPreset" and "SetPreset" with Preset="n".
 */
#define OX_PTZ_ELEMENT "PTZ"

/*
 * Analytic result: type OX_TYPE_ANALYTIC, XML payload. A nonzero `level`
 * (the first typed word) also returns it to its poster.
 *   <?xml version="1.0"?><oREC><Analytic ID="4456448" Camera="2" Kind="Person"
 *    Score="87" X="120" Y="300" W="80" H="240" Time="1765364400"
 *    mseTime="1765364400123"/></oREC>
 * Score 0..100; X, Y, W, H: the box in thousandths of the frame's width and height.
 */
#define OX_ANALYTIC_ELEMENT "Analytic"

/*
 * Serial data: type OX_TYPE_SERIAL, OX_TEXT_PAYLOAD, the bytes as received
 * (not NUL-terminated); bits 0..7 of `source` the port number (1..255).
 * Point of sale, live: type OX_TYPE_POS, OX_TEXT_PAYLOAD, one receipt line
 * without its line end; bits 0..7 of `source` the camera watching the till.
 * Point of sale, stored (search results): XML, the line as element text:
 *   <?xml version="1.0"?><oREC><POS ID="4521984" Camera="1" Time="1765364400"
 *    mseTime="1765364400123">1 x COFFEE 2.40</POS></oREC>
 */
#define OX_POS_ELEMENT "POS"

/*
 * Search request text (payload of a search request, dvrcore/plugin_interface.h):
 * the camera and both ends of the span, wall-clock milliseconds, both included:
 *   camera=1 from=1765364400000 to=1765364410000
 * Providers answer with stored-class records of the searched type, `source`
 * their own address with the recorded camera in bits 0..7, the request's
 * `requestId`; a stored record without payload ends one provider's replay.
 */
#define OX_SEARCH_QUERY_FORMAT "camera=%u from=%" PRIu64 " to=%" PRIu64

/*
 * Settings a plugin keeps: the file "<tag>.xml" in the core's working
 * directory, <tag> being the plugin's file name in lower case without ".so"
 * (its console tag; ox_settingsFile), read and written with oxcfg::loadConfig
 * and oxcfg::saveConfig (dvrcore/store.h):
 *   <?xml version="1.0"?><oREC><Settings ID="4456448" Threshold="30"/></oREC>
 * A configuration event (OX_TYPE_CONFIG, OX_XML_PAYLOAD, no Delta attribute)
 * of the same shape, from anyone, changes them: the plugin whose `ID` it
 * names applies the attributes present, saves the file and logs the change;
 * every other plugin and the core ignore it.
 * Missing (neither the file nor its ".pending" companion exists): the
 * defaults, saved as the file. Damaged (loadConfig throws): the defaults in
 * force, a warning naming the file and the error, and the file left as it is
 * until a settings document changes something, so it can be inspected.
 */
#define OX_SETTINGS_ELEMENT "Settings"

/* "<tag>.xml" for the plugin file `fileName` ("MotionAlarm.so" gives
 * "motionalarm.xml"); snprintf's contract. */
static inline int ox_settingsFile(char* out, size_t size, char const* fileName) {
    size_t n = 0;
    while (fileName[n]) ++n;
    if (n >= 3 && fileName[n - 3] == '.' && fileName[n - 2] == 's' && fileName[n - 1] == 'o') n -= 3;
    int const needed = snprintf(out, size, "%.*s.xml", (int)n, fileName);
    for (size_t i = 0; i < n && i + 1 < size; ++i)
        if (out[i] >= 'A' && out[i] <= 'Z') out[i] = (char)(out[i] - 'A' + 'a');
    return needed;
}

#endif /* OX_DOCUMENTS_H */

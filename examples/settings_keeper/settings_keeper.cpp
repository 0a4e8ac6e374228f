// SettingsKeeper: an example of a plugin that keeps its own settings. At open
// it reads "settingskeeper.xml" from the core's working directory (defaults,
// saved, when it is missing; defaults in force and the file left alone when
// it is damaged). A configuration document carrying a Settings element with
// its ID changes them; the worker thread saves the file, so the dispatcher
// never waits for the disk.
#include <dvrcore/documents.h>
#include <dvrcore/plugin_interface.h>
#include <dvrcore/store.h>
#include <dvrcore/xml_document.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace {

constexpr uint32_t kAddress = 0x00320000u; // plugin id 0x32
constexpr char kFileName[] = "SettingsKeeper.so";

struct Settings {
    int threshold = 30; ///< Threshold: percent of changed pixels that count as motion
    int holdSeconds = 5; ///< HoldSeconds: how long an alarm stays raised
};

ox_EventCallback g_post = nullptr; // from Load; any thread until Unload returns

std::mutex g_mutex;
std::condition_variable g_wake;
Settings g_settings;     // under g_mutex
bool g_dirty = false;    // under g_mutex: changed since the last save
bool g_mayOverwrite = true; // under g_mutex: false while the file on disk is damaged and unchanged
bool g_closing = false;  // under g_mutex

void log(int32_t level, std::string text) {
    auto e = ox::core::makeEvent(kAddress, OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD, text.data(),
                                 static_cast<uint32_t>(text.size()));
    e.level = level;
    g_post(&e, nullptr);
}

std::string path() {
    char name[64];
    ox_settingsFile(name, sizeof name, kFileName);
    return name;
}

bool exists(std::string const& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

std::string text(Settings const& s) {
    return OX_DOC_DECLARATION "<" OX_DOC_ROOT "><" OX_SETTINGS_ELEMENT " ID=\"" +
           std::to_string(ox_documentIdOf(kAddress)) + "\" Threshold=\"" + std::to_string(s.threshold) +
           "\" HoldSeconds=\"" + std::to_string(s.holdSeconds) + "\"/></" OX_DOC_ROOT ">";
}

std::string describe(Settings const& s) {
    return "threshold " + std::to_string(s.threshold) + "%, hold " + std::to_string(s.holdSeconds) + " s";
}

// The Settings element addressed to us, or null.
rapidxml::xmlNode<char> const* ours(rapidxml::xmlDocument<char> const& doc) {
    for (auto const* n = doc.node(OX_DOC_ROOT "/" OX_SETTINGS_ELEMENT); n; n = n->nextSibling(OX_SETTINGS_ELEMENT))
        if (n->attr("ID", 0) == ox_documentIdOf(kAddress)) return n;
    return nullptr;
}

// Attributes present change their setting; absent ones keep it.
Settings applied(Settings s, rapidxml::xmlNode<char> const& n) {
    s.threshold = n.attr("Threshold", s.threshold);
    s.holdSeconds = n.attr("HoldSeconds", s.holdSeconds);
    return s;
}

void load() {
    std::string const file = path();
    if (!exists(file) && !exists(file + std::string(oxcfg::kPendingSuffix))) {
        {
            std::lock_guard lock(g_mutex);
            g_settings = Settings{};
            g_dirty = true; // the worker writes the defaults out
        }
        log(OX_LOG_INFO, file + " not found: defaults in force");
        return;
    }
    Settings loaded;
    try {
        std::string const stored = oxcfg::loadConfig(file);
        rapidxml::xmlDocument<char> doc;
        doc.parse<rapidxml::kParseNonDestructive>(stored);
        if (auto const* n = ours(doc)) loaded = applied(loaded, *n);
    } catch (std::exception const& x) {
        {
            std::lock_guard lock(g_mutex);
            g_settings = Settings{};
            g_mayOverwrite = false; // kept for inspection until a change replaces it
        }
        log(OX_LOG_WARNING, file + " is damaged, defaults in force until it is replaced: " + x.what());
        return;
    }
    {
        std::lock_guard lock(g_mutex);
        g_settings = loaded;
    }
    log(OX_LOG_INFO, file + ": " + describe(loaded));
}

void save(Settings const& s) {
    try {
        oxcfg::saveConfig(path(), text(s));
    } catch (std::exception const& x) {
        log(OX_LOG_WARNING, "settings not saved: " + std::string(x.what()));
    }
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    g_closing = false;
    out->address = kAddress;
    out->workerThread = 1; // configuration documents reach every plugin without a type word
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    load();
    g_wake.notify_one();
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    std::lock_guard lock(g_mutex);
    g_closing = true; // the worker saves what is pending and returns
    g_wake.notify_one();
    return 0;
}

// The worker saves; the disk's pace never holds up the dispatcher.
OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    std::unique_lock lock(g_mutex);
    for (;;) {
        g_wake.wait(lock, [] { return g_closing || (g_dirty && g_mayOverwrite); });
        if (g_dirty && g_mayOverwrite) {
            Settings const s = g_settings;
            g_dirty = false;
            lock.unlock(); // never post or wait for the disk under our lock
            save(s);
            lock.lock();
        } else if (g_closing) {
            return 0;
        }
    }
}

// Dispatcher thread: every configuration document comes here; only ours counts.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    if (ox::core::typeOf(*e) != OX_TYPE_CONFIG || !(e->flags & OX_XML_PAYLOAD) || !e->data) return OX_EVENT_DONE;
    try {
        rapidxml::xmlDocument<char> doc;
        doc.parse<rapidxml::kParseNonDestructive>({e->data, e->dataLen});
        auto const* n = ours(doc);
        if (!n) return OX_EVENT_DONE;
        Settings s;
        {
            std::lock_guard lock(g_mutex);
            s = g_settings = applied(g_settings, *n);
            g_dirty = true;
            g_mayOverwrite = true; // a deliberate change replaces even a damaged file
        }
        g_wake.notify_one();
        log(OX_LOG_INFO, "settings changed: " + describe(s));
    } catch (std::exception const& x) { // a malformed document from another plugin
        log(OX_LOG_NOTICE, std::string("configuration document not read: ") + x.what());
    }
    return OX_EVENT_DONE;
}

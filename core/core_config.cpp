// The core's own configuration: read at start, published with the module
// inventory as a config event, saved back to core.xml, and updated by delta
// documents that other parties post.
#include "dvrcore/store.h"
#include "config/store_error.h"
#include "config/working_dir.h"
#include "dvrcore/xml_document.h"
#include "dvrcore/xml_printer.h"
#include "core/dvr_core.h"
#include "core/events/record.h"
#include "log/log.h"
#include "plugin/plugin.h"

#include <fmt/format.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>

namespace {

using Doc = rapidxml::xmlDocument<char>;
using Node = rapidxml::xmlNode<char>;

constexpr char const* kProductFile = "product.xml";
constexpr char const* kDamagedSuffix = ".bad"; // where an unusable core.xml is kept
/// Damaged files kept side by side (core.xml.bad, core.xml.bad.1, ...); past
/// that many the file stays where it is and is not saved over.
constexpr int kMaxDamagedKept = 100;

/// Plugin id named by a document's ID attribute; ids below 2 name nothing.
int pluginIdOfId(int id) {
    if (id == INT32_MIN) return 0;
    int const pid = static_cast<int>(ox_pluginIdOf(static_cast<uint32_t>(id)));
    return pid < 2 ? -1 : pid;
}

void addAttr(Doc& doc, Node* n, std::string_view name, std::string value) {
    n->appendAttr(doc.newAttr(name, std::move(value)));
}

Node* addElement(Doc& doc, Node* parent, std::string_view name) {
    Node* n = doc.newNode(rapidxml::NodeType::element, name);
    parent->appendNode(n);
    return n;
}

/// A signed 32-bit decimal attribute (trailing characters ignored); none when
/// it is missing, empty, unparsable or out of range.
std::optional<int32_t> number(Node const& n, std::string_view name) {
    constexpr long long kNone = std::numeric_limits<long long>::min();
    long long const v = n.attr<long long>(name, kNone);
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

} // namespace

void DvrCore::readProduct() {
    Doc doc;
    std::string const text = oxcfg::loadConfig(kProductFile);
    doc.parse<rapidxml::kParseNonDestructive>(text);
    for (Node* n = doc.firstChild; n; n = n->next) {
        if (n->type != rapidxml::NodeType::element || n->name != "Product") continue;
        identity_.product = std::string(n->attrText("Family"));
        identity_.version = std::string(n->attrText("Version"));
        // For integrators: how long a stop may take before the core gives up waiting.
        if (auto const seconds = number(*n, "StopDeadline"); seconds && *seconds > 0)
            shutdown_.setLimit(std::chrono::seconds(*seconds));
        break;
    }
}

bool DvrCore::applyLogLevels(Node const& root) {
    bool changed = false;
    Node const* module = root.node("oREC/Modules/Module");
    for (; module; module = module->nextSibling("Module")) {
        for (Node const* p = module->node("Plugin"); p; p = p->nextSibling("Plugin")) {
            auto const id = number(*p, "ID");
            if (!id) continue;
            int const pid = pluginIdOfId(*id);
            if (pid < 0) continue;
            auto const level = number(*p, "LogLevel");
            if (!level) continue;
            if (logLevels_.set(static_cast<unsigned>(pid), *level)) changed = true;
        }
    }
    return changed;
}

void DvrCore::loadConfig() {
    // The two files are read independently: a missing product description must
    // not leave core.xml unread, or the next save would replace it with defaults.
    try {
        readProduct();
    } catch (std::exception const& e) {
        logSev<kLogWarning>("{}\nConfig defaulted", e.what());
    }
    try {
        Doc doc;
        std::string const text = oxcfg::loadConfig(conffn);
        doc.parse<rapidxml::kParseNonDestructive>(text);
        if (Node const* memory = doc.node("oREC/Memory")) monitor_.setEnabled(memory->attr("Throttling", true));
        applyLogLevels(doc);
    } catch (oxcfg::AccessError const& e) {
        logSev<kLogWarning>("{}\nConfig defaulted", e.what());
        if (e.error() == ENOENT) return; // missing: written with the defaults
        // Not read this time (descriptors exhausted, no permission, an I/O
        // error): the file may be sound and holds the user's settings.
        confSaveBlocked_ = true;
        logSev<kLogWarning>("{} could not be read: running on the defaults, the file is not saved in this run", conffn);
    } catch (std::exception const& e) {
        logSev<kLogWarning>("{}\nConfig defaulted", e.what());
        keepDamagedConfig();
    }
}

void DvrCore::keepDamagedConfig() {
    // The file was read and is damaged (or is no regular file): it holds what
    // is left of the user's settings and goes aside before the defaults are
    // saved. An earlier damaged file is never replaced.
    int const dir = ox::config::workingDirectory();
    std::string const base = std::string(conffn) + kDamagedSuffix;
    int err = 0;
    for (int n = 0; n < kMaxDamagedKept; ++n) {
        std::string const kept = n == 0 ? base : fmt::format("{}.{}", base, n);
        if (::renameat2(dir, conffn, dir, kept.c_str(), RENAME_NOREPLACE) == 0) {
            logSev<kLogWarning>("{} kept as {}", conffn, kept);
            return;
        }
        err = errno;
        if (err == EINVAL || err == ENOSYS) {
            // A file system without exclusive rename: look first.
            struct stat st {};
            if (::fstatat(dir, kept.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
            if (::renameat(dir, conffn, dir, kept.c_str()) == 0) {
                logSev<kLogWarning>("{} kept as {}", conffn, kept);
                return;
            }
            err = errno;
        }
        if (err == ENOENT) return; // gone meanwhile: nothing to keep
        if (err != EEXIST) break;
    }
    // Saving now would replace the only copy.
    confSaveBlocked_ = true;
    logSev<kLogCritical>("{} cannot be kept as {} ({}): it is not saved in this run", conffn, base,
                         std::strerror(err));
}

void DvrCore::postConfig() {
    Doc doc;
    doc.appendNode(doc.newNode(rapidxml::NodeType::declaration));
    Node* root = addElement(doc, &doc, "oREC");
    Node* memory = addElement(doc, root, "Memory");
    addAttr(doc, memory, "ID", ox::core::kCoreIdText);
    addAttr(doc, memory, "Throttling", monitor_.enabled() ? "1" : "0");

    Node* modules = addElement(doc, root, "Modules");
    int64_t totalLoad = 0, totalOpen = 0;
    for (auto const& p : plugins_.inOrder()) {
        totalLoad += p->loadTimeNs() / 1'000'000;
        totalOpen += p->openTimeNs() / 1'000'000;
    }
    addAttr(doc, modules, "TotalLoadTimeMs", std::to_string(totalLoad));
    addAttr(doc, modules, "TotalOpenTimeMs", std::to_string(totalOpen));

    auto cutName = [](std::string_view s) { return std::string(s.substr(0, s.find('.'))); };
    Node* coreModule = addElement(doc, modules, "Module");
    addAttr(doc, coreModule, "ID", ox::core::kCoreIdText);
    addAttr(doc, coreModule, "Name", cutName("Core"));
    addAttr(doc, coreModule, "Version", identity_.version);

    auto pluginEntry = [&](std::string id, std::string const& file, int64_t loadMs, int64_t openMs, int32_t code,
                           int32_t level) {
        Node* n = addElement(doc, coreModule, "Plugin");
        addAttr(doc, n, "ID", std::move(id));
        addAttr(doc, n, "Filename", file);
        addAttr(doc, n, "Opened", "1");
        addAttr(doc, n, "LoadTimeMs", std::to_string(loadMs));
        addAttr(doc, n, "OpenTimeMs", std::to_string(openMs));
        addAttr(doc, n, "OpenCode", std::to_string(code));
        addAttr(doc, n, "LogLevel", std::to_string(level));
        addAttr(doc, n, "LogLevelDefault", "-1");
    };
    pluginEntry(ox::core::kCoreIdText, identity_.exePath.filename().string(), 0, 0, 0, logLevels_.configured(0));
    for (auto const& p : plugins_.inOrder())
        pluginEntry(ox::core::idText(p->address()), p->fileName(), p->loadTimeNs() / 1'000'000, p->openTimeNs() / 1'000'000,
                    p->openCode(), logLevels_.configured(p->pluginId()));
    // The parent's identity is written by the I/O thread; read it under its lock.
    if (auto const [parentFile, parentVersion] = parent_.identity(); !parentVersion.empty()) {
        Node* lib = addElement(doc, coreModule, "Library");
        addAttr(doc, lib, "Name", "orveld");
        addAttr(doc, lib, "Filename", parentFile);
        addAttr(doc, lib, "Version", parentVersion);
    }
    int n = 0;
    for (auto const& p : plugins_.failed()) {
        ++n;
        pluginEntry(std::to_string(n), p->fileName(), 0, 0, p->loadCode(), -1);
        Node* m = addElement(doc, modules, "Module");
        addAttr(doc, m, "ID", std::to_string(n));
        addAttr(doc, m, "Name", cutName(p->fileName()));
        addAttr(doc, m, "Version", p->errorText());
    }

    Node* product = addElement(doc, root, "Product");
    addAttr(doc, product, "Family", identity_.product);
    addAttr(doc, product, "Version", identity_.version);

    std::string const text = rapidxml::toXml<rapidxml::kPrintNoIndent, char>(doc, rapidxml::xmlLen<0, char>(doc), false);
    ox::core::EventParms e =
        ox::core::makeEvent(ox::core::kCoreAddress, OX_TYPE_CONFIG, ox::core::kLiveClass | ox::core::kXmlPayload,
                            const_cast<char*>(text.data()), static_cast<uint32_t>(text.size()));
    if (queueEvent(e) != 0)
        logSev<kLogNotice>("configuration document not published: its {} bytes could not be allocated", text.size());

    if (confSaveBlocked_) return;
    root->removeNode(product);
    std::string const saved = rapidxml::toXml<0, char>(doc, false);
    // The store takes no lock, so the queue's lock serialises the saves of the
    // main thread and of the dispatcher (updateConfig); posters and the
    // dispatcher wait for the few milliseconds of the write, as they always have.
    queue_.whileHeld([&] { oxcfg::saveConfig(conffn, saved); });
}

void DvrCore::updateConfig(ox::core::EventParms const& e) {
    if (stopRequested()) return;
    if (e.source == ox::core::kCoreAddress) return;
    if (e.type != OX_TYPE_CONFIG) return;
    if (!(e.flags & ox::core::kXmlPayload)) return;
    if (e.dataLen < 22 || !e.data) return;
    std::string_view const payload(e.data, e.dataLen);
    constexpr std::string_view kDelta = "Delta=\"1\"";
    std::string_view const window = payload.substr(13, 100);
    if (window.find(kDelta) == std::string_view::npos) return;
    if (payload.substr(0, 40).find("<Modules") == std::string_view::npos) return;

    Doc doc;
    doc.parse<rapidxml::kParseNonDestructive>(payload);
    if (!applyLogLevels(doc)) return;
    // The new levels are in force from here on, whatever becomes of the save.
    try {
        postConfig();
    } catch (std::runtime_error const& ex) {
        logSev<kLogWarning>("configuration update in force, but {} not saved: {}", conffn, ex.what());
    }
}

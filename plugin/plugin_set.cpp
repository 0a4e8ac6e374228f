// Loading, opening, closing and unloading the whole plugin set.
#include "core/dvr_core.h"
#include "core/privilege_drop.h"
#include "log/log.h"
#include "plugin/plugin.h"

#include <fmt/std.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unistd.h>

namespace {

/// Plugin id placed first in the event order.
constexpr unsigned kFirstPluginId = 6;
/// Plugin id taken out of the list before the others are closed.
constexpr unsigned kEarlyReleasePluginId = 8;

bool hasId(Plugin const& p, unsigned id) { return p.address() != ox::core::kCoreAddress && p.pluginId() == id; }

bool collide(uint32_t a, uint32_t b) {
    bool const coreA = a == ox::core::kCoreAddress, coreB = b == ox::core::kCoreAddress;
    if (coreA || coreB) return coreA && coreB;
    return ox::core::pluginIdOf(a) == ox::core::pluginIdOf(b);
}

std::string lowerStem(std::filesystem::path const& file) {
    std::string s = file.stem().string();
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

void DvrCore::loadPlugins() {
    for (auto const& file : getPiFiles(exePath_.parent_path())) {
        auto p = Plugin::CreateAndLoad(file, &DvrCore::eventReceiver, machineId_);
        if (!p->loaded()) {
            logSev<kLogWarning>("Failed to load plugin {}: {}", p->fileName(), p->errorText());
            failedPlugins_.push_back(std::move(p));
            continue;
        }
        auto clash = std::find_if(plugins_.begin(), plugins_.end(),
                                  [&](auto const& q) { return collide(q->address(), p->address()); });
        if (clash != plugins_.end()) {
            logSev<kLogNotice>("pluginId {:02x} already loaded from {} trying to load {}", p->pluginId(),
                               (*clash)->fileName(), file.filename());
            continue; // the last reference goes here: unloaded and forgotten
        }
        logSev<kLogInfo>("Loaded plugin {:02x}:{}", p->pluginId(), p->shortName());
        std::unique_lock lock(pluginsMutex_);
        if (p->pluginId() != 0) pluginNames_[p->pluginId()] = lowerStem(file); // id 0 stays "core"
        if (hasId(*p, kFirstPluginId))
            plugins_.insert(plugins_.begin(), std::move(p));
        else
            plugins_.push_back(std::move(p));
    }
    for (auto const& p : plugins_) p->ProvideWorkerThreadIf();
}

void DvrCore::openPlugins() {
    for (auto const& p : plugins_) {
        logSev<kLogInfo>("Opening {:02x}:{}", p->pluginId(), p->shortName());
        p->Open();
    }
    {
        std::unique_lock lock(pluginsMutex_);
        plugins_.push_back(logPlugin_);
    }
    // Raw device access was needed only while plugins opened.
    if (::getuid() != 0) {
        if (int const err = ox::core::setCapabilities(ox::core::kCapsRunning)) {
            if (userSwitched_) {
                // Started as root for another user: not to run on with raw
                // device access it no longer needs. Init is over, so stop.
                logSev<kLogCritical>("capset failed: {}; stopping", std::strerror(err));
                Stop();
            } else {
                logSev<kLogNotice>("capset failed: {}", std::strerror(err));
            }
        }
    }
}

void DvrCore::closePlugins() {
    // New searches are refused, posters waiting in the flow control are let go
    // and every cancel query answers 1, so providers end their searches. Those
    // still running may go on during Close; Unload waits for them.
    search_.stop();
    std::vector<std::shared_ptr<Plugin>> released;
    {
        std::unique_lock lock(pluginsMutex_);
        auto early = std::stable_partition(plugins_.begin(), plugins_.end(),
                                           [](auto const& p) { return !hasId(*p, kEarlyReleasePluginId); });
        released.assign(std::make_move_iterator(early), std::make_move_iterator(plugins_.end()));
        plugins_.erase(early, plugins_.end());
        std::sort(plugins_.begin(), plugins_.end(), [](auto const& a, auto const& b) {
            if (a->info().closePriority != b->info().closePriority)
                return a->info().closePriority > b->info().closePriority;
            return ::strcasecmp(a->fileName().c_str(), b->fileName().c_str()) < 0;
        });
    }
    // Outside the lock: the early plugin closes and unloads here (a search
    // thread may still hold it; then it is unloaded once that call returns).
    for (auto const& p : released) {
        shutdownStep(p.get(), "closing");
        p->Close();
        shutdownStep(p.get(), "unloading");
        if (!p->Unload(stopDeadline())) leftRunning_ = true;
    }
    released.clear();
    for (auto const& p : plugins_) {
        logSev<kLogInfo>("Closing {:02x}:{}", p->pluginId(), p->shortName());
        shutdownStep(p.get(), "closing");
        p->Close();
    }
}

void DvrCore::unloadPlugins() {
    for (auto const& p : plugins_) {
        logSev<kLogInfo>("Unloading {:02x}:{}", p->pluginId(), p->shortName());
        shutdownStep(p.get(), "unloading");
        if (!p->Unload(stopDeadline())) leftRunning_ = true;
    }
}

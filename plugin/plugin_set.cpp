#include "plugin/plugin_set.h"
#include "log/log.h"

#include <fmt/std.h>
#include <strings.h>

#include <algorithm>
#include <cctype>

namespace ox::plugin {
namespace {

/// Plugin id placed first in the event order.
constexpr unsigned kFirstPluginId = 6;
/// Plugin id taken out of the list before the others are closed.
constexpr unsigned kEarlyReleasePluginId = 8;

bool hasId(Plugin const& p, unsigned id) { return p.address() != OX_CORE_ADDRESS && p.pluginId() == id; }

/// Both forms of id 0 (the core's address word and an id byte of 0) collide:
/// references are marked and counted per plugin id, so two plugins on one id
/// would release each other's.
bool collide(uint32_t a, uint32_t b) { return ox::core::pluginIdOf(a) == ox::core::pluginIdOf(b); }

std::string lowerStem(std::filesystem::path const& file) {
    std::string s = file.stem().string();
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

PluginSet::PluginSet() { names_.emplace(0u, "core"); }

void PluginSet::setLogPlugin(std::shared_ptr<Plugin> plugin) {
    std::unique_lock lock(mutex_);
    logPlugin_ = std::move(plugin);
}

std::shared_ptr<Plugin> PluginSet::logPlugin() const {
    std::shared_lock lock(mutex_);
    return logPlugin_;
}

void PluginSet::load(std::vector<std::filesystem::path> const& files, Plugin::Callback callback,
                     std::string_view identity, StopFn const& stopped) {
    for (auto const& file : files) {
        if (stopped()) break;
        auto p = Plugin::CreateAndLoad(file, callback, identity);
        if (!p->loaded()) {
            logSev<kLogWarning>("Failed to load plugin {}: {}", p->fileName(), p->errorText());
            failed_.push_back(std::move(p));
            continue;
        }
        std::shared_ptr<Plugin> clash;
        if (logPlugin_ && logPlugin_->loaded() && collide(logPlugin_->address(), p->address())) clash = logPlugin_;
        for (auto const& q : plugins_)
            if (!clash && collide(q->address(), p->address())) clash = q;
        if (clash) {
            logSev<kLogNotice>("pluginId {:02x} already loaded from {} trying to load {}", p->pluginId(),
                               clash->fileName(), file.filename());
            continue; // the last reference goes here: unloaded and forgotten
        }
        logSev<kLogInfo>("Loaded plugin {:02x}:{}", p->pluginId(), p->shortName());
        std::unique_lock lock(mutex_);
        if (p->pluginId() != 0) names_[p->pluginId()] = lowerStem(file); // id 0 stays "core"
        if (hasId(*p, kFirstPluginId))
            plugins_.insert(plugins_.begin(), std::move(p));
        else
            plugins_.push_back(std::move(p));
    }
    for (auto const& p : plugins_)
        if (!stopped()) p->ProvideWorkerThreadIf();
}

void PluginSet::open(StopFn const& stopped) {
    for (auto const& p : plugins_) {
        if (stopped()) break;
        logSev<kLogInfo>("Opening {:02x}:{}", p->pluginId(), p->shortName());
        p->Open();
    }
    std::unique_lock lock(mutex_);
    if (logPlugin_) plugins_.push_back(logPlugin_);
}

bool PluginSet::close(Deadline deadline, StepFn const& step) {
    std::vector<std::shared_ptr<Plugin>> released;
    {
        std::unique_lock lock(mutex_);
        auto early = std::stable_partition(plugins_.begin(), plugins_.end(),
                                           [](auto const& p) { return !hasId(*p, kEarlyReleasePluginId); });
        released.assign(std::make_move_iterator(early), std::make_move_iterator(plugins_.end()));
        plugins_.erase(early, plugins_.end());
        std::sort(plugins_.begin(), plugins_.end(), [](auto const& a, auto const& b) {
            if (a->info().closePriority != b->info().closePriority)
                return a->info().closePriority > b->info().closePriority;
            return ::strcasecmp(a->fileName().c_str(), b->fileName().c_str()) < 0;
        });
        // The log plugin goes last, whatever its priority and name.
        std::stable_partition(plugins_.begin(), plugins_.end(), [this](auto const& p) { return p != logPlugin_; });
    }
    // Outside the lock: the early plugin closes and unloads here (a search
    // thread may still hold it; then it is unloaded once that call returns).
    bool allUnloaded = true;
    for (auto const& p : released) {
        step(*p, "closing");
        p->Close(deadline);
        step(*p, "unloading");
        if (!p->Unload(deadline)) allUnloaded = false;
    }
    released.clear();
    for (auto const& p : plugins_) {
        if (p == logPlugin_) continue;
        // The step first: the line may be what hangs (a stuck log plugin).
        step(*p, "closing");
        logSev<kLogInfo>("Closing {:02x}:{}", p->pluginId(), p->shortName());
        p->Close(deadline);
    }
    return allUnloaded;
}

bool PluginSet::unload(Deadline deadline, StepFn const& step) {
    bool allUnloaded = true;
    for (auto const& p : plugins_) {
        if (p == logPlugin_) continue;
        step(*p, "unloading");
        logSev<kLogInfo>("Unloading {:02x}:{}", p->pluginId(), p->shortName());
        if (!p->Unload(deadline)) allUnloaded = false;
    }
    return allUnloaded;
}

bool PluginSet::closeLogPlugin(Deadline deadline, StepFn const& step) {
    auto const p = logPlugin();
    if (!p) return true;
    step(*p, "closing");
    logSev<kLogInfo>("Closing {:02x}:{}", p->pluginId(), p->shortName());
    p->Close(deadline);
    step(*p, "unloading");
    logSev<kLogInfo>("Unloading {:02x}:{}", p->pluginId(), p->shortName());
    return p->Unload(deadline);
}

std::shared_ptr<Plugin> PluginSet::find(unsigned pluginId) const {
    std::shared_lock lock(mutex_);
    for (auto const& p : plugins_)
        if (hasId(*p, pluginId)) return p;
    return nullptr;
}

std::optional<std::string> PluginSet::name(unsigned pluginId) const {
    std::shared_lock lock(mutex_);
    auto it = names_.find(pluginId);
    if (it == names_.end()) return std::nullopt;
    return it->second;
}

std::string PluginSet::shortName(unsigned pluginId) const {
    if (pluginId == 0) return "Core";
    auto const p = find(pluginId);
    return p ? std::string(p->shortName()) : "unknown";
}

std::vector<std::shared_ptr<Plugin>> PluginSet::snapshot() const {
    std::shared_lock lock(mutex_);
    return plugins_;
}

} // namespace ox::plugin

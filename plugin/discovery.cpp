#include "plugin/discovery.h"

#include <strings.h>

#include <algorithm>

namespace {

constexpr char const* kPluginDirs[] = {"protected-plugins", "plugins"};
/// Files whose path holds this mark load before all others.
constexpr char const* kEarlyMark = "rIDOdu";

bool marked(std::filesystem::path const& p) { return p.native().find(kEarlyMark) != std::string::npos; }

} // namespace

namespace ox::plugin {

std::vector<std::filesystem::path> discoverPlugins(std::filesystem::path const& dir) {
    namespace fs = std::filesystem;
    std::vector<fs::path> result;
    for (char const* sub : kPluginDirs) {
        std::error_code ec;
        fs::directory_iterator it(dir / sub, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            fs::path const& path = it->path();
            if (path.extension() != ".so") continue;
            // A dangling link or unreadable entry is passed over; the scan goes on.
            std::error_code statusError;
            if (!fs::is_regular_file(fs::status(path, statusError))) continue;
            auto const name = path.filename();
            if (name == kLogPluginName) continue;
            bool const seen = std::any_of(result.begin(), result.end(),
                                          [&](fs::path const& q) { return q.filename() == name; });
            if (!seen) result.push_back(dir / sub / name);
        }
    }
    std::sort(result.begin(), result.end(), [](fs::path const& a, fs::path const& b) {
        bool const ma = marked(a), mb = marked(b);
        if (ma != mb) return ma;
        return ::strcasecmp(a.filename().c_str(), b.filename().c_str()) < 0;
    });
    return result;
}

} // namespace ox::plugin

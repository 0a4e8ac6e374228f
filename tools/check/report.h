// What one check of a plugin found, and how it travels: the child that runs
// the plugin writes it as lines on a pipe while it goes (a crash loses nothing
// already written), the parent reads it back and prints it as text or JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace check {

/// The plugin's declaration as its Load left it.
struct Declaration {
    uint32_t address = 0;
    /// Type words in PluginInfo order: video, audio, alarm, ptz, serial, log, pos, analytic.
    uint32_t words[8] = {};
    uint32_t closePriority = 0;
    bool workerThread = false;
    bool asyncReader = false;
    bool writeEvents = false;
    uint32_t infoSize = 0;    ///< PluginInfo head after Load
    uint32_t infoVersion = 0;
};

/// Names of the type words, in Declaration::words order.
extern char const* const kWordNames[8];
/// Event types of the type words, in the same order.
extern uint32_t const kWordTypes[8];

struct CallResult {
    int32_t code = 0;
    int64_t timeNs = 0;
    std::string error;
};

struct Report {
    std::string plugin; ///< file name
    std::optional<Declaration> declaration;
    std::optional<CallResult> load;
    std::optional<CallResult> open;
    std::vector<std::pair<std::string, bool>> entries; ///< every known entry name, exported or not
    std::vector<std::pair<std::string, uint64_t>> counts;
    std::vector<std::pair<int32_t, std::string>> log; ///< the plugin's log posts
    bool stopRequested = false;
    std::vector<std::string> warnings; ///< worth knowing, not faults: the verdict stays clean
    std::vector<std::string> faults; ///< one line each, first occurrence only
    std::string phase;               ///< what the child was doing last
    bool finished = false;           ///< the child reported the end of its run
};

/// The child's side: each call is one write(2) of one line, so lines of
/// several threads never mix and a crash cuts no line in half.
class ReportWriter {
public:
    explicit ReportWriter(int fd) : fd_(fd) {}
    void declaration(Declaration const& d);
    void load(CallResult const& r);
    void open(CallResult const& r);
    void entry(std::string_view name, bool exported);
    void count(std::string_view name, uint64_t value);
    void log(int32_t level, std::string_view text);
    void stopRequested();
    void fault(std::string_view text);
    void warning(std::string_view text);
    /// A step begins; the parent gives it `limitMs` (0: no limit of its own).
    void phase(uint32_t limitMs, std::string_view what);
    void finished();

private:
    void line(std::string text);
    int fd_;
};

/// The parent's side: applies one line; returns the phase limit when the line
/// starts a phase (0 = none), else nullopt.
std::optional<uint32_t> applyLine(Report& report, std::string_view line);

std::string renderText(Report const& report);
std::string renderJson(Report const& report);

} // namespace check

// The one machine-readable form of every bench program's figures, merged by
// scripts/bench into one table. Given --dvr_table=FILE, a program writes one
// tab-separated line per case to FILE:
//   FIGURE  case  unit  ours  against  reference  ratio  target  met
// `ratio` is ours / reference in `unit`; `target` is a lower bound on the
// ratio (">= 0.7"). A field with nothing to say is "-": a program without a
// reference or a target says so instead of making one up.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace dvr::bench {

inline constexpr double kNone = NAN;

class FigureTable {
public:
    /// Takes --dvr_table=FILE out of argv, so that Google Benchmark (and a
    /// program's own argument handling) never sees it.
    FigureTable(int& argc, char** argv) {
        static constexpr char kOption[] = "--dvr_table=";
        int kept = 1;
        for (int i = 1; i < argc; ++i) {
            if (std::strncmp(argv[i], kOption, sizeof kOption - 1) == 0)
                path_ = argv[i] + sizeof kOption - 1;
            else
                argv[kept++] = argv[i];
        }
        argc = kept;
        argv[argc] = nullptr;
        if (!path_.empty() && !(file_ = std::fopen(path_.c_str(), "w"))) std::perror(path_.c_str());
    }
    FigureTable(FigureTable const&) = delete;
    FigureTable& operator=(FigureTable const&) = delete;
    ~FigureTable() {
        if (file_) std::fclose(file_);
    }

    /// One case. `against` names the reference ("-" for none); the ratio is
    /// ours / reference unless given (a mean of ratios, say).
    void add(std::string const& what, char const* unit, double ours, char const* against = "-",
             double reference = kNone, double atLeast = kNone, double ratio = kNone) {
        if (!file_) return;
        if (std::isnan(ratio) && std::isfinite(ours) && std::isfinite(reference) && reference != 0)
            ratio = ours / reference;
        std::string target = "-", met = "-";
        if (!std::isnan(atLeast)) {
            target = ">= " + number(atLeast);
            met = std::isfinite(ratio) && ratio >= atLeast ? "met" : "MISSED";
        }
        std::fprintf(file_, "FIGURE\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", what.c_str(), unit, number(ours).c_str(),
                     against, number(reference).c_str(), number(ratio).c_str(), target.c_str(), met.c_str());
        std::fflush(file_); // a program that dies later still leaves what it measured
    }

private:
    static std::string number(double v) {
        if (!std::isfinite(v)) return "-";
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.6g", v);
        return buf;
    }

    std::string path_;
    std::FILE* file_ = nullptr;
};

} // namespace dvr::bench

// Parse throughput of our XML toolkit against pugixml's DOM parse on three
// inputs, both in one run; the table at the end gives MB/s and the ratio
// (--dvr_table=FILE writes it for scripts/bench). There is no target.
//   build-xml/bench/xml_parse [--benchmark_min_time=1]
#include "dvrcore/xml_document.h"
#include "figures.h"

#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <cstdio>
#include <map>
#include <string>

namespace {

// A core configuration file of about 2 KB.
std::string configDocument() {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<oREC>\n"
                    "\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
                    "\t<Modules TotalLoadTimeMs=\"184\" TotalOpenTimeMs=\"73\">\n"
                    "\t\t<Module Name=\"Core\" Filename=\"dvrcore\" Version=\"26.0.6.0\">\n";
    for (int i = 2; s.size() < 1900; ++i)
        s += "\t\t\t<Plugin ID=\"" + std::to_string(i << 16) + "\" Name=\"Plugin" + std::to_string(i) +
             "\" LogLevel=\"25\" Load=\"0\" Open=\"0\"/>\n";
    s += "\t\t</Module>\n\t</Modules>\n</oREC>\n";
    return s;
}

// About 1 MB of small elements with attributes.
std::string manyElements() {
    std::string s = "<?xml version=\"1.0\"?>\n<Cameras>\n";
    for (int i = 0; s.size() < (1 << 20); ++i)
        s += "\t<Camera id=\"" + std::to_string(i) + "\" name=\"cam-" + std::to_string(i) +
             "\" enabled=\"1\" port=\"554\"><Stream fps=\"25\" codec=\"h264\"/><Label>Lobby " +
             std::to_string(i % 97) + "</Label></Camera>\n";
    return s + "</Cameras>\n";
}

// About 1 MB where most values carry references.
std::string manyReferences() {
    std::string s = "<?xml version=\"1.0\"?>\n<Log>\n";
    for (int i = 0; s.size() < (1 << 20); ++i)
        s += "\t<Entry text=\"a &lt; b &amp;&amp; c &gt; d\" who=\"&quot;op&quot; &#x263A;\">"
             "R&amp;D &lt;" + std::to_string(i) + "&gt; &#169; &#x20AC;5 &apos;ok&apos;</Entry>\n";
    return s + "</Log>\n";
}

std::map<std::string, std::string> const& inputs() {
    static std::map<std::string, std::string> const all = {
        {"config_2KB", configDocument()},
        {"elements_1MB", manyElements()},
        {"references_1MB", manyReferences()},
    };
    return all;
}

unsigned long blocks = 0;  // heap blocks taken by our pool (benchmark thread only)
void* countingAlloc(std::size_t n) {
    ++blocks;
    return ::operator new(n);
}
void countingFree(void* p) { ::operator delete(p); }

void ours(benchmark::State& state, std::string const* text) {
    blocks = 0;
    for (auto _ : state) {
        rapidxml::xmlDocument<char> doc;
        doc.set_allocator(countingAlloc, countingFree);
        doc.parse<rapidxml::kParseNonDestructive>(*text);
        benchmark::DoNotOptimize(doc.firstChild);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text->size()));
    state.counters["heap_blocks_per_doc"] = double(blocks) / double(state.iterations());
}

void theirs(benchmark::State& state, std::string const* text) {
    for (auto _ : state) {
        pugi::xml_document doc;
        auto result = doc.load_buffer(text->data(), text->size());
        if (!result) state.SkipWithError("pugixml failed");
        benchmark::DoNotOptimize(doc.first_child());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text->size()));
}

// Console output as usual, plus seconds per iteration of every run by name.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override {
        for (auto const& r : runs)
            if (!r.error_occurred && r.iterations > 0)
                seconds[r.benchmark_name()] = r.real_accumulated_time / double(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

} // namespace

int main(int argc, char** argv) {
    for (auto const& [name, text] : inputs()) {
        benchmark::RegisterBenchmark(("ours/" + name).c_str(), ours, &text);
        benchmark::RegisterBenchmark(("pugixml/" + name).c_str(), theirs, &text);
    }
    dvr::bench::FigureTable table(argc, argv);
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    std::printf("\n%-16s %10s %12s %12s %8s\n", "input", "bytes", "ours MB/s", "pugixml MB/s", "ratio");
    for (auto const& [name, text] : inputs()) {
        auto a = collector.seconds.find("ours/" + name);
        auto b = collector.seconds.find("pugixml/" + name);
        if (a == collector.seconds.end() || b == collector.seconds.end()) continue;
        double const mb = double(text.size()) / 1e6;
        std::printf("%-16s %10zu %12.1f %12.1f %8.2f\n", name.c_str(), text.size(), mb / a->second,
                    mb / b->second, b->second / a->second);
        table.add("parse " + name, "MB/s", mb / a->second, "pugixml", mb / b->second);
    }
    benchmark::Shutdown();
    return 0;
}

// The dispatcher's stopwatch (core/delivery_clock.h) against the steady clock
// it stands in for: the cost of one reading of each, then, after the Google
// Benchmark table, how far converted readings stray from the steady clock and
// how a 5 ms interval reads. tests/core/delivery_clock_test.cpp checks only
// coarse bounds; the precise figures are these (--dvr_table=FILE writes them
// for scripts/bench). There is no target.
#include "core/delivery_clock.h"
#include "figures.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::microseconds;

constexpr int kReadings = 100000;
constexpr auto kPreempted = microseconds(5); ///< a pair of steady readings further apart was interrupted

void spinFor(Steady::duration d) {
    auto const until = Steady::now() + d;
    while (Steady::now() < until) {
    }
}

/// A stopwatch that has learnt the counter's rate, where the machine allows it.
void learn(DeliveryClock& clock) {
    for (int i = 0; i < 20 && !clock.usesCounter(); ++i) {
        spinFor(DeliveryClock::kLearnOver / 4);
        clock.steadyNow();
    }
}

void bmSteadyClock(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Steady::now());
}

void bmDeliveryClock(benchmark::State& state) {
    DeliveryClock clock;
    learn(clock);
    for (auto _ : state) benchmark::DoNotOptimize(clock.now());
}

double us(Steady::duration d) { return duration<double, std::micro>(d).count(); }

/// Console output as usual, plus nanoseconds per iteration of every run by name.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& runs) override {
        for (auto const& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration && r.iterations > 0)
                ns[r.benchmark_name()] = r.real_accumulated_time * 1e9 / double(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ns;
};

void printFigures(dvr::bench::FigureTable& table) {
    DeliveryClock clock;
    learn(clock);
    Steady::duration worst{};
    int used = 0, skipped = 0;
    for (int i = 0; i < kReadings; ++i) {
        auto const s0 = Steady::now();
        auto const c = clock.now();
        auto const s1 = Steady::now();
        if (s1 - s0 > kPreempted) {
            ++skipped;
            continue;
        }
        ++used;
        // Distance from the span of the two steady readings around it.
        auto const off = c < s0 ? s0 - c : c > s1 ? c - s1 : Steady::duration{};
        worst = std::max(worst, off);
    }
    std::printf("\ndelivery clock: reads the %s\n", clock.usesCounter() ? "time-stamp counter" : "steady clock");
    std::printf("delivery clock: max deviation from the steady clock %.2f us over %d readings (%d preempted, left out)\n",
                us(worst), used, skipped);
    table.add(std::string("max deviation, ") + (clock.usesCounter() ? "counter" : "steady clock"), "us", us(worst),
              "-");
    auto const t0 = clock.now();
    auto const s0 = Steady::now();
    spinFor(std::chrono::milliseconds(5));
    auto const dt = clock.now() - t0;
    auto const ds = Steady::now() - s0;
    std::printf("delivery clock: a 5 ms interval reads as %.2f us (steady clock: %.2f us)\n", us(dt), us(ds));
    table.add("a 5 ms interval", "us", us(dt), "steady clock", us(ds));
}

} // namespace

BENCHMARK(bmSteadyClock);
BENCHMARK(bmDeliveryClock);

int main(int argc, char** argv) {
    dvr::bench::FigureTable table(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (collector.ns.count("bmDeliveryClock"))
        table.add("cost of a reading", "ns", collector.ns["bmDeliveryClock"], "steady clock",
                  collector.ns.count("bmSteadyClock") ? collector.ns["bmSteadyClock"] : dvr::bench::kNone);
    printFigures(table);
    benchmark::Shutdown();
    return 0;
}

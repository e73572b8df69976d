// Runs every benchmark, then prints the ratios against baselines measured in
// the same run, which mean more than absolute figures on a shared machine.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <vector>

#include "Summary.h"

namespace orvane::bench {

namespace {

struct Ratio {
    std::string label, numerator, denominator, counter;
};

std::vector<Ratio>& ratios() {
    static std::vector<Ratio> list;
    return list;
}
std::vector<std::string>& notes() {
    static std::vector<std::string> list;
    return list;
}

class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal: `make bench | tee` stays readable.
    SummaryReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
    std::map<std::string, Run> runs;
    void ReportRuns(const std::vector<Run>& report) override {
        ConsoleReporter::ReportRuns(report);
        for (const Run& run : report) {
            runs[run.benchmark_name()] = run;
        }
    }
};

double counterOf(const benchmark::BenchmarkReporter::Run& run, const std::string& counter) {
    auto found = run.counters.find(counter);
    return found == run.counters.end() ? 0.0 : double(found->second);
}

}  // namespace

void addRatio(const std::string& label, const std::string& numerator,
              const std::string& denominator, const std::string& counter) {
    ratios().push_back({label, numerator, denominator, counter});
}

void addNote(const std::string& line) {
    notes().push_back(line);
}

}  // namespace orvane::bench

void registerDynamicBenchmarks();
void registerLiveBenchmarks();

int main(int argc, char** argv) {
    using namespace orvane::bench;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    registerDynamicBenchmarks();
    registerLiveBenchmarks();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nSummary (ratios within this run): %-42s %10s %10s %6s\n", "", "first", "second",
                "ratio");
    for (const Ratio& ratio : ratios()) {
        auto a = reporter.runs.find(ratio.numerator);
        auto b = reporter.runs.find(ratio.denominator);
        if (a == reporter.runs.end() || b == reporter.runs.end()) {
            continue;
        }
        const double numerator = counterOf(a->second, ratio.counter);
        const double denominator = counterOf(b->second, ratio.counter);
        std::printf("  %-74s %10.1f %10.1f %6.2f\n", ratio.label.c_str(), numerator, denominator,
                    denominator > 0 ? numerator / denominator : 0.0);
    }
    for (const std::string& line : notes()) {
        std::printf("  %s\n", line.c_str());
    }
    benchmark::Shutdown();
    return 0;
}

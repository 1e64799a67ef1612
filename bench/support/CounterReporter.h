// The console output as usual, plus one counter of every measured run kept by benchmark name,
// so that main can print each figure against its anchor after the runs.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

class CounterReporter : public benchmark::ConsoleReporter
{
public:
    explicit CounterReporter(std::string counter) : counter_(std::move(counter)) {}

    std::map<std::string, double> values;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            const auto it = run.counters.find(counter_);
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && it != run.counters.end())
                values[run.benchmark_name()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    std::string counter_;
};

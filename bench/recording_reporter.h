// A console reporter that also keeps each benchmark's time per iteration,
// by function name, so that a program can print ratios of benchmarks
// measured side by side in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RecordingReporter : public benchmark::ConsoleReporter {
public:
    enum class Clock { Cpu, Real };
    explicit RecordingReporter(Clock clock) : clock_(clock) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations <= 0) continue;
            double total = clock_ == Clock::Cpu ? run.cpu_accumulated_time : run.real_accumulated_time;
            double perIteration = total / static_cast<double>(run.iterations);
            seconds[run.run_name.function_name] = perIteration;
            rounds[run.run_name.function_name].push_back(perIteration);
        }
    }

    // Seconds per iteration of the last run; absent when the benchmark did
    // not run.
    std::map<std::string, double> seconds;
    // Seconds per iteration of every run, in order, for a program that runs
    // its benchmarks several times over.
    std::map<std::string, std::vector<double>> rounds;

private:
    Clock clock_;
};

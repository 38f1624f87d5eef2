// How the registry store's load grows with its file: a file of sibling keys
// (each with one DWORD value, the shape that once made every lookup scan its
// siblings) of about 1 MB and of about 10 MB, each opened and freed per
// iteration.
//
// The last lines give the time of the 10 MB load, and "10 MB load / 1 MB
// load = R": about 10 when loading is linear in the file, about 100 when it
// is quadratic.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "host/kernel/registry_store.h"

#include "bench/recording_reporter.h"

namespace {

std::string g_directory;

// The file of about `megabytes` MB, written once per run.
const std::string& StoreFile(int megabytes) {
    static std::map<int, std::string> files;
    auto it = files.find(megabytes);
    if (it != files.end()) return it->second;
    std::string path = g_directory + "/wide-" + std::to_string(megabytes) + ".reg";
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    const size_t target = static_cast<size_t>(megabytes) << 20;
    for (size_t i = 0; text.size() < target; ++i) {
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wide\\Key" + std::to_string(i) + "]\r\n\"Value\"=dword:0000002a\r\n\r\n";
    }
    std::ofstream(path, std::ios::binary) << text;
    return files.emplace(megabytes, path).first->second;
}

void Load(benchmark::State& state, int megabytes) {
    const std::string& path = StoreFile(megabytes);
    for (auto _ : state) {
        std::string error;
        auto store = hostk::RegistryStore::Open(path, &error, 0);
        if (!store) {
            state.SkipWithError(error.c_str());
            return;
        }
        benchmark::DoNotOptimize(store.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (static_cast<int64_t>(megabytes) << 20));
}

void LoadOneMegabyte(benchmark::State& state) { Load(state, 1); }
void LoadTenMegabytes(benchmark::State& state) { Load(state, 10); }
BENCHMARK(LoadOneMegabyte)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LoadTenMegabytes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/registry-load-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    g_directory = pattern;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter(RecordingReporter::Clock::Real);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::system(("rm -rf '" + g_directory + "'").c_str());
    auto one = reporter.seconds.find("LoadOneMegabyte");
    auto ten = reporter.seconds.find("LoadTenMegabytes");
    if (one == reporter.seconds.end() || ten == reporter.seconds.end() || one->second <= 0) {
        std::printf("the ratio needs LoadOneMegabyte and LoadTenMegabytes in the run\n");
        return 1;
    }
    std::printf("10 MB load = %.3f s, 1 MB load = %.3f s\n", ten->second, one->second);
    std::printf("10 MB load / 1 MB load = %.1f\n", ten->second / one->second);
    return 0;
}

#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace veltora::bench {

// Runs the registered benchmarks with their repetitions interleaved: the
// machine's load drifts during a run, and interleaving keeps that drift from
// landing on one variant of a case.
inline int runInterleaved(int argc, char** argv) {
    std::vector<char*> arguments(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave.data());
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace veltora::bench

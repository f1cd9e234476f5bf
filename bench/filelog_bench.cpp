// Lines per second written through the rolling file sink, and the caller's
// cost meanwhile, beside spdlog's asynchronous logger on its rotating file
// sink writing the same lines with the same line format, file size limit and
// number of kept files. Pairs are named BM_<case>/ours and BM_<case>/spdlog.

#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t fileSizeLimit = 1024 * 1024;
constexpr int linesPerRound = 20000;
const std::string text = "Sending signing request for signing policy id: 4f1c2a";

std::string benchDirectory(const char* name) {
    static const std::string root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "filelog-bench-XXXXXX").string();
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string("/tmp");
    }();
    return root + "/" + name;
}

// Our file sink set up as the deliverables set it up, on the shared registry.
const std::shared_ptr<veltora::DDFileLogger>& ourSink() {
    static const auto sink = [] {
        auto manager = std::make_shared<veltora::DDLogFileManagerDefault>(benchDirectory("ours"));
        manager->setMaximumNumberOfLogFiles(1);
        auto made = std::make_shared<veltora::DDFileLogger>(manager);
        made->setDoNotReuseLogFiles(true);
        veltora::DDLog::add(made, veltora::DDLogLevel::info);
        return made;
    }();
    return sink;
}

// Returns when every line logged so far is in the file (not yet forced to disk).
void drainOurs() {
    veltora::DDLog::sharedInstance().syncOnLoggingQueue([] {});
    ourSink()->loggerQueue().sync([] {}); // behind the write of those lines
}

std::atomic<std::size_t> spdlogLinesWritten{0};

// spdlog's rotating file sink, counting the lines it has written.
class CountingRotatingSink : public spdlog::sinks::sink {
public:
    CountingRotatingSink(const std::string& path, std::size_t maximumSize, std::size_t maximumFiles)
        : file_(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, maximumSize, maximumFiles)) {}
    void log(const spdlog::details::log_msg& message) override {
        file_->log(message);
        spdlogLinesWritten.fetch_add(1, std::memory_order_release);
    }
    void flush() override { file_->flush(); }
    void set_pattern(const std::string& pattern) override { file_->set_pattern(pattern); }
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
        file_->set_formatter(std::move(formatter));
    }

private:
    std::shared_ptr<spdlog::sinks::rotating_file_sink_mt> file_;
};

std::shared_ptr<spdlog::logger> spdlogFileLogger() {
    static const auto logger = [] {
        std::filesystem::create_directories(benchDirectory("spdlog"));
        // Room for every line of a round: a caller never waits, as with ours.
        spdlog::init_thread_pool(1 << 18, 1);
        auto sink =
            std::make_shared<CountingRotatingSink>(benchDirectory("spdlog") + "/app.log", fileSizeLimit, 1);
        auto made = std::make_shared<spdlog::async_logger>("file", sink, spdlog::thread_pool(),
                                                           spdlog::async_overflow_policy::block);
        made->set_pattern("%Y/%m/%d %H:%M:%S:%e  %v", spdlog::pattern_time_type::utc);
        made->set_level(spdlog::level::info);
        return made;
    }();
    return logger;
}

void drainSpdlog(std::size_t expected) {
    while (spdlogLinesWritten.load(std::memory_order_acquire) < expected) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

// This thread writes a share too, so that its CPU time, by which the
// benchmark library sizes its runs, follows the work.
template <typename Log> void logFromThreads(int threads, Log log) {
    const auto share = [&log, threads] {
        for (int i = 0; i < linesPerRound / threads; ++i) {
            log();
        }
    };
    std::vector<std::jthread> others;
    for (int t = 1; t < threads; ++t) {
        others.emplace_back(share);
    }
    share();
}

// Lines per second of wall time, under the name scripts/bench.sh compares:
// the writing happens on other threads, so the CPU time of this one says nothing.
class WallClockRate {
public:
    explicit WallClockRate(benchmark::State& state) : state_(state) {}
    ~WallClockRate() {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        state_.counters["items_per_second"] =
            static_cast<double>(state_.iterations()) * linesPerRound / std::max(seconds, 1e-9);
    }
    WallClockRate(const WallClockRate&) = delete;
    WallClockRate& operator=(const WallClockRate&) = delete;

private:
    benchmark::State& state_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

void writeOurs(benchmark::State& state, int threads) {
    ourSink();
    drainOurs();
    const WallClockRate rate(state);
    for (auto _ : state) {
        logFromThreads(threads, [] { DDLogInfo(text); });
        drainOurs();
    }
}

void writeSpdlog(benchmark::State& state, int threads) {
    auto logger = spdlogFileLogger();
    const WallClockRate rate(state);
    for (auto _ : state) {
        const std::size_t expected = spdlogLinesWritten.load() + linesPerRound;
        logFromThreads(threads, [&logger] { logger->info(text); });
        drainSpdlog(expected);
    }
}

void BM_FileWrite1Thread_ours(benchmark::State& state) {
    writeOurs(state, 1);
}
void BM_FileWrite1Thread_spdlog(benchmark::State& state) {
    writeSpdlog(state, 1);
}
void BM_FileWrite4Threads_ours(benchmark::State& state) {
    writeOurs(state, 4);
}
void BM_FileWrite4Threads_spdlog(benchmark::State& state) {
    writeSpdlog(state, 4);
}

// The caller's cost of a batch of lines while the sink writes them; the wait
// for the rest of the writing is not timed.
constexpr int callerBatch = 1000;

void BM_FileCaller_ours(benchmark::State& state) {
    ourSink();
    drainOurs();
    for (auto _ : state) {
        for (int i = 0; i < callerBatch; ++i) {
            DDLogInfo(text);
        }
        state.PauseTiming();
        drainOurs();
        state.ResumeTiming();
    }
}

void BM_FileCaller_spdlog(benchmark::State& state) {
    auto logger = spdlogFileLogger();
    for (auto _ : state) {
        const std::size_t expected = spdlogLinesWritten.load() + callerBatch;
        for (int i = 0; i < callerBatch; ++i) {
            logger->info(text);
        }
        state.PauseTiming();
        drainSpdlog(expected);
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_FileWrite1Thread_ours)->Name("BM_FileWrite1Thread/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileWrite1Thread_spdlog)->Name("BM_FileWrite1Thread/spdlog")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileWrite4Threads_ours)->Name("BM_FileWrite4Threads/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileWrite4Threads_spdlog)->Name("BM_FileWrite4Threads/spdlog")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileCaller_ours)->Name("BM_FileCaller/ours");
BENCHMARK(BM_FileCaller_spdlog)->Name("BM_FileCaller/spdlog");

BENCHMARK_MAIN();

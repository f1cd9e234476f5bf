// The caller's cost of a log line, ours beside spdlog's asynchronous logger.
// Pairs are named BM_<case>/ours and BM_<case>/spdlog; scripts/bench.sh prints their ratios.

#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<std::size_t> bytesSeen{0};

class CountingLogger : public veltora::DDAbstractLogger {
public:
    CountingLogger() : DDAbstractLogger("counting") {}
    void logMessage(const veltora::DDLogMessage& message) override {
        bytesSeen.fetch_add(message.message.size(), std::memory_order_relaxed);
    }
};

class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
        bytesSeen.fetch_add(message.payload.size(), std::memory_order_relaxed);
    }
    void flush_() override {}
};

// Our registry with one sink taking info and above: verbose lines reach no sink.
void installOurs() {
    static const bool installed = [] {
        veltora::DDLog::sharedInstance().addLogger(std::make_shared<CountingLogger>(),
                                                   veltora::DDLogLevel::info);
        return true;
    }();
    (void)installed;
}

std::shared_ptr<spdlog::logger> spdlogAsync() {
    static const auto logger = [] {
        // Callers never block on a full queue, as with ours.
        spdlog::init_thread_pool(8192, 1);
        auto made = std::make_shared<spdlog::async_logger>("async", std::make_shared<CountingSink>(),
                                                           spdlog::thread_pool(),
                                                           spdlog::async_overflow_policy::overrun_oldest);
        made->set_level(spdlog::level::info);
        return made;
    }();
    return logger;
}

std::shared_ptr<spdlog::logger> spdlogSync() {
    static const auto logger = [] {
        auto made = std::make_shared<spdlog::logger>("sync", std::make_shared<CountingSink>());
        made->set_level(spdlog::level::info);
        return made;
    }();
    return logger;
}

const std::string text = "Sending signing request for signing policy id: 4f1c2a";

void BM_AsyncNoSink_ours(benchmark::State& state) {
    installOurs();
    for (auto _ : state) {
        DDLogVerbose(text);
    }
    veltora::DDLog::sharedInstance().flushLog();
}

void BM_AsyncNoSink_spdlog(benchmark::State& state) {
    auto logger = spdlogAsync();
    for (auto _ : state) {
        logger->debug(text);
    }
}

void BM_AsyncOneSink_ours(benchmark::State& state) {
    installOurs();
    for (auto _ : state) {
        DDLogInfo(text);
    }
    veltora::DDLog::sharedInstance().flushLog(); // after the timed loop
}

void BM_AsyncOneSink_spdlog(benchmark::State& state) {
    auto logger = spdlogAsync();
    for (auto _ : state) {
        logger->info(text);
    }
}

// A synchronous line returns when the sink has it: spdlog's synchronous logger is the equal.
void BM_SyncError_ours(benchmark::State& state) {
    installOurs();
    for (auto _ : state) {
        DDLogError(text);
    }
}

void BM_SyncError_spdlog(benchmark::State& state) {
    auto logger = spdlogSync();
    for (auto _ : state) {
        logger->error(text);
    }
}

} // namespace

BENCHMARK(BM_AsyncNoSink_ours)->Name("BM_AsyncNoSink/ours");
BENCHMARK(BM_AsyncNoSink_spdlog)->Name("BM_AsyncNoSink/spdlog");
BENCHMARK(BM_AsyncOneSink_ours)->Name("BM_AsyncOneSink/ours");
BENCHMARK(BM_AsyncOneSink_spdlog)->Name("BM_AsyncOneSink/spdlog");
BENCHMARK(BM_SyncError_ours)->Name("BM_SyncError/ours");
BENCHMARK(BM_SyncError_spdlog)->Name("BM_SyncError/spdlog");

BENCHMARK_MAIN();

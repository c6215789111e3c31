// Uncontended cost of guarded-data proxies against plain standard locks. After the table it prints
// the write proxy and the nested write proxy as multiples of std::shared_mutex lock+unlock from the
// same run, against their limits of 2.0x and 0.5x.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "Rudada64/XBasicCritSection.h"

namespace {

void BM_SharedMutexLockUnlock(benchmark::State& state) {
    std::shared_mutex lock;
    int value = 0;
    for (auto _ : state) {
        lock.lock();
        benchmark::DoNotOptimize(++value);
        lock.unlock();
    }
}
BENCHMARK(BM_SharedMutexLockUnlock);

void BM_MutexLockUnlock(benchmark::State& state) {
    std::mutex lock;
    int value = 0;
    for (auto _ : state) {
        lock.lock();
        benchmark::DoNotOptimize(++value);
        lock.unlock();
    }
}
BENCHMARK(BM_MutexLockUnlock);

void BM_WriteProxy(benchmark::State& state) {
    XCritData<int> data(0);
    for (auto _ : state) {
        auto proxy = data.GetProxy();
        benchmark::DoNotOptimize(++*proxy);
    }
}
BENCHMARK(BM_WriteProxy);

void BM_ReadProxy(benchmark::State& state) {
    XCritData<int> data(0);
    for (auto _ : state) {
        auto proxy = data.GetReadProxy();
        benchmark::DoNotOptimize(*proxy);
    }
}
BENCHMARK(BM_ReadProxy);

// A proxy taken inside an outer write proxy of the same thread: bookkeeping only.
void BM_NestedWriteProxy(benchmark::State& state) {
    XCritData<int> data(0);
    auto outer = data.GetProxy();
    for (auto _ : state) {
        auto proxy = data.GetProxy();
        benchmark::DoNotOptimize(++*proxy);
    }
}
BENCHMARK(BM_NestedWriteProxy);

// CPU time rather than wall time: other processes on the machine then shift the figures less.
// With repetitions the median stands for each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!run.error_occurred && (single || median)) {
                m_cpuNs[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        PrintRatio("write proxy", "BM_WriteProxy", 2.0);
        PrintRatio("nested write proxy", "BM_NestedWriteProxy", 0.5);
    }

  private:
    void PrintRatio(const char* label, const std::string& name, double limit) const {
        const auto base = m_cpuNs.find("BM_SharedMutexLockUnlock");
        const auto proxy = m_cpuNs.find(name);
        if (base == m_cpuNs.end() || proxy == m_cpuNs.end() || base->second <= 0) {
            std::printf("%s: not measured in this run\n", label);
            return;
        }
        const double ratio = proxy->second / base->second;
        std::printf("%s: %.2f ns = %.2fx std::shared_mutex lock+unlock (%.2f ns), limit %.1fx%s\n", label,
                    proxy->second, ratio, base->second, limit, ratio <= limit ? "" : "  OVER THE LIMIT");
    }

    std::map<std::string, double> m_cpuNs;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// Uncontended cost of guarded-data proxies against plain standard locks.
#include <benchmark/benchmark.h>

#include <mutex>
#include <shared_mutex>

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

}  // namespace

BENCHMARK_MAIN();

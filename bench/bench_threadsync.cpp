// Wake-up latency between two threads: XThreadSync::SetEvent -> XThreadSync::WaitForEvent against
// the language's own primitives. Every benchmark is a ping-pong: one iteration is a round trip, two
// wake-ups. XThreadSync's events are manual-reset and never reset, so each carries one signal: every
// round trip takes a fresh pair, made in batches, with the batch's partner thread, outside the timing.
//
// Built as C++20 (bench/CMakeLists.txt) for std::atomic::wait, the futex-backed wait that an event
// should match; a spin+yield ping-pong shows the floor and a condition-variable one the usual way.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "Rudada64/XThreadSync.h"

namespace {

void BM_XThreadSyncPingPong(benchmark::State& state) {
    constexpr std::size_t kBatch = 1000;
    std::vector<HANDLE> ping(kBatch, nullptr);
    std::vector<HANDLE> pong(kBatch, nullptr);
    std::thread partner;
    const auto endBatch = [&] {
        if (partner.joinable()) {
            partner.join();
        }
        for (std::size_t i = 0; i < kBatch; ++i) {
            CloseHandle(ping[i]);
            CloseHandle(pong[i]);
        }
    };
    std::size_t round = kBatch;
    for (auto _ : state) {
        if (round == kBatch) {
            state.PauseTiming();
            endBatch();
            for (std::size_t i = 0; i < kBatch; ++i) {
                XThreadSync::CreateEvent(ping[i], FALSE);
                XThreadSync::CreateEvent(pong[i], FALSE);
            }
            partner = std::thread([&] {
                for (std::size_t i = 0; i < kBatch; ++i) {
                    XThreadSync::WaitForEvent(ping[i], INFINITE);
                    XThreadSync::SetEvent(pong[i]);
                }
            });
            round = 0;
            state.ResumeTiming();
        }
        XThreadSync::SetEvent(ping[round]);
        XThreadSync::WaitForEvent(pong[round], INFINITE);
        ++round;
    }
    // Lets the partner of the last batch run out.
    for (; round < kBatch; ++round) {
        XThreadSync::SetEvent(ping[round]);
    }
    endBatch();
}
BENCHMARK(BM_XThreadSyncPingPong)->UseRealTime();

#if __cplusplus >= 202002L
void BM_AtomicWaitPingPong(benchmark::State& state) {
    // Odd: the partner's turn; even: the main thread's. ~0 ends the partner.
    std::atomic<std::uint32_t> turn{0};
    constexpr std::uint32_t kStop = ~0u;
    std::thread partner([&] {
        std::uint32_t seen = 0;
        for (;;) {
            turn.wait(seen);
            seen = turn.load();
            if (seen == kStop) {
                return;
            }
            if (seen % 2 == 1) {
                turn.store(++seen);
                turn.notify_one();
            }
        }
    });
    std::uint32_t next = 0;
    for (auto _ : state) {
        turn.store(++next);
        turn.notify_one();
        turn.wait(next);
        ++next;
    }
    turn.store(kStop);
    turn.notify_one();
    partner.join();
}
BENCHMARK(BM_AtomicWaitPingPong)->UseRealTime();
#endif

void BM_SpinYieldPingPong(benchmark::State& state) {
    std::atomic<std::uint32_t> turn{0};
    constexpr std::uint32_t kStop = ~0u;
    std::thread partner([&] {
        std::uint32_t seen = 0;
        for (;;) {
            std::uint32_t now = turn.load(std::memory_order_acquire);
            while (now == seen) {
                std::this_thread::yield();
                now = turn.load(std::memory_order_acquire);
            }
            if (now == kStop) {
                return;
            }
            seen = now + 1;
            turn.store(seen, std::memory_order_release);
        }
    });
    std::uint32_t next = 0;
    for (auto _ : state) {
        turn.store(++next, std::memory_order_release);
        while (turn.load(std::memory_order_acquire) == next) {
            std::this_thread::yield();
        }
        ++next;
    }
    turn.store(kStop, std::memory_order_release);
    partner.join();
}
BENCHMARK(BM_SpinYieldPingPong)->UseRealTime();

void BM_ConditionVariablePingPong(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;  // 1: the partner's turn, 0: the main thread's, -1: stop
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return turn != 0; });
            if (turn < 0) {
                return;
            }
            turn = 0;
            changed.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        turn = 1;
        changed.notify_one();
        changed.wait(lock, [&] { return turn == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        turn = -1;
    }
    changed.notify_one();
    partner.join();
}
BENCHMARK(BM_ConditionVariablePingPong)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

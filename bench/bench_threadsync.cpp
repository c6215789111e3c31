// Wake-up latency between two threads: XThreadSync::SetEvent -> XThreadSync::WaitForEvent against
// the language's own primitives. Every benchmark is a ping-pong: one iteration is a round trip, two
// wake-ups. The events are auto-reset (CreateEventW), since XThreadSync's own events are
// manual-reset and never reset, so they could carry one signal only; SetEvent and WaitForEvent
// (with its message pumping) are XThreadSync's.
//
// Built as C++20 (bench/CMakeLists.txt) for std::atomic::wait, the futex-backed wait that an event
// should match; a spin+yield ping-pong shows the floor and a condition-variable one the usual way.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "Rudada64/XThreadSync.h"

namespace {

void BM_XThreadSyncPingPong(benchmark::State& state) {
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            XThreadSync::WaitForEvent(ping, INFINITE);
            if (stop.load(std::memory_order_relaxed)) {
                return;
            }
            XThreadSync::SetEvent(pong);
        }
    });
    for (auto _ : state) {
        XThreadSync::SetEvent(ping);
        XThreadSync::WaitForEvent(pong, INFINITE);
    }
    stop = true;
    XThreadSync::SetEvent(ping);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
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

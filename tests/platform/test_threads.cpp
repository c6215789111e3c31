#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>

#include "vqplatform/platform.h"
#include "vqplatform/testing.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

namespace seams = vqplatform::testing;

constexpr DWORD kSafetyTimeout = 5000;
// Typed: Windows defines WAIT_TIMEOUT as a signed constant.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;

// Records where and how it ran; spins while `hold` is set, then returns 42.
struct Probe {
    std::atomic<bool> ran{false};
    std::atomic<bool> hold{false};
    std::atomic<DWORD> threadId{0};
    std::atomic<int> nice{0};
};

unsigned WINAPI ProbeRoutine(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    probe->threadId = GetCurrentThreadId();
#if !defined(_WIN32)
    probe->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
#endif
    probe->ran = true;
    while (probe->hold.load()) {
        std::this_thread::yield();
    }
    return 42;
}

HANDLE Start(Probe* probe, unsigned flags, unsigned* id = nullptr) {
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProbeRoutine, probe, flags, id));
}

DWORD ExitCode(HANDLE thread) {
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(ThreadTest, SuspendedThreadRunsOnlyAfterResumeAndEndsWithItsResult) {
    Probe probe;
    unsigned id = 0;
    HANDLE thread = Start(&probe, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread, 10), kTimedOut);
    EXPECT_FALSE(probe.ran.load());
    EXPECT_EQ(ExitCode(thread), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_FALSE(SetThreadPriority(thread, 3)) << "not a priority level";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Set while suspended, so in effect from the routine's first instruction.
    ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_BELOW_NORMAL);

    probe.hold = true;
    EXPECT_EQ(ResumeThread(thread), 1u);
    while (!probe.ran.load()) {
        std::this_thread::yield();
    }
    EXPECT_EQ(ResumeThread(thread), 0u) << "a running thread is not suspended";
    probe.hold = false;
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(probe.threadId.load(), id);
    EXPECT_EQ(ExitCode(thread), 42u);
#if !defined(_WIN32)
    const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    EXPECT_EQ(probe.nice.load(), std::min(own + 5, 19));
#endif
    CloseHandle(thread);
}

TEST(ThreadTest, TerminatingASuspendedThreadEndsItWithoutRunningTheRoutine) {
    Probe probe;
    HANDLE thread = Start(&probe, CREATE_SUSPENDED);
    ASSERT_TRUE(TerminateThread(thread, 9));
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(thread), 9u);
    EXPECT_FALSE(probe.ran.load());
    CloseHandle(thread);

    HANDLE bogus = thread;
#if defined(_WIN32)
    bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ff0));
#endif
    DWORD code = 0;
    EXPECT_EQ(ResumeThread(bogus), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetThreadPriority(bogus, 0));
    EXPECT_FALSE(GetExitCodeThread(bogus, &code));
    EXPECT_FALSE(TerminateThread(bogus, 0));
    EXPECT_EQ(GetThreadPriority(bogus), THREAD_PRIORITY_ERROR_RETURN);
}

#if !defined(_WIN32)
TEST(ThreadTest, ARunningThreadCannotBeTerminatedAndRunsOn) {
    Probe probe;
    probe.hold = true;
    HANDLE thread = Start(&probe, 0);
    EXPECT_FALSE(TerminateThread(thread, 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    probe.hold = false;
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_TRUE(TerminateThread(thread, 3)) << "an ended thread is terminated already";
    EXPECT_EQ(ExitCode(thread), 42u);
    CloseHandle(thread);

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1)) << "an event is no thread";
    CloseHandle(event);
    EXPECT_EQ(Start(&probe, 0x2), nullptr) << "unknown creation flag";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
#endif

TEST(ThreadTest, InjectedFaultsFailCreationPriorityAndResume) {
    for (seams::Operation op : {seams::Operation::CreateThread, seams::Operation::SetThreadPriority,
                                seams::Operation::ResumeThread}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's thread calls cannot fail on demand here";
        }
    }
    seams::ScopedReset reset;
    Probe probe;
    seams::FailNext(seams::Operation::CreateThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Start(&probe, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    HANDLE thread = Start(&probe, CREATE_SUSPENDED);
    seams::FailNext(seams::Operation::SetThreadPriority, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    seams::FailNext(seams::Operation::ResumeThread, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ResumeThread(thread), static_cast<DWORD>(-1));
    EXPECT_EQ(WaitForSingleObject(thread, 10), kTimedOut) << "a failed resume leaves the thread suspended";
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    CloseHandle(thread);
}

}  // namespace

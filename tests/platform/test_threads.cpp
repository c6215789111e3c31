#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

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

struct Probe {
    std::atomic<bool> ran{false};
    std::atomic<DWORD> threadId{0};
    std::atomic<int> nice{0};
    unsigned result = 42;
};

unsigned WINAPI ProbeRoutine(void* argument) {
    auto* probe = static_cast<Probe*>(argument);
    probe->threadId = GetCurrentThreadId();
#if !defined(_WIN32)
    probe->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
#endif
    probe->ran = true;
    return probe->result;
}

unsigned WINAPI SpinUntilReleased(void* argument) {
    auto* release = static_cast<std::atomic<bool>*>(argument);
    while (!release->load()) {
        std::this_thread::yield();
    }
    return 0;
}

class ThreadTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (HANDLE thread : m_threads) {
            CloseHandle(thread);
        }
    }
    HANDLE Start(unsigned(WINAPI* routine)(void*), void* argument, unsigned flags, unsigned* id = nullptr) {
        auto thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, argument, flags, id));
        EXPECT_NE(thread, nullptr);
        if (thread != nullptr) {
            m_threads.push_back(thread);
        }
        return thread;
    }

    seams::ScopedReset m_reset;
    std::vector<HANDLE> m_threads;
};

TEST_F(ThreadTest, SuspendedThreadRunsOnlyAfterResumeAndEndsWithItsResult) {
    Probe probe;
    unsigned id = 0;
    HANDLE thread = Start(ProbeRoutine, &probe, CREATE_SUSPENDED, &id);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread, 10), kTimedOut);
    EXPECT_FALSE(probe.ran.load());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

    EXPECT_EQ(ResumeThread(thread), 1u);
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_TRUE(probe.ran.load());
    EXPECT_EQ(probe.threadId.load(), id);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(thread), 0u);
}

TEST_F(ThreadTest, RunningThreadReportsSuspendCountZero) {
    std::atomic<bool> release{false};
    HANDLE thread = Start(SpinUntilReleased, &release, 0);
    EXPECT_EQ(ResumeThread(thread), 0u);
    release = true;
    EXPECT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
}

TEST_F(ThreadTest, TerminatingASuspendedThreadEndsItWithoutRunningTheRoutine) {
    Probe probe;
    HANDLE thread = Start(ProbeRoutine, &probe, CREATE_SUSPENDED);
    ASSERT_TRUE(TerminateThread(thread, 9));
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 9u);
    EXPECT_FALSE(probe.ran.load());
}

TEST_F(ThreadTest, PriorityLevelsAreCheckedAndRemembered) {
    Probe probe;
    HANDLE thread = Start(ProbeRoutine, &probe, CREATE_SUSPENDED);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(thread, 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_BELOW_NORMAL);
    ResumeThread(thread);
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
#if !defined(_WIN32)
    // Set while suspended, so in effect from the routine's first instruction.
    const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    EXPECT_EQ(probe.nice.load(), std::min(own + 5, 19));
#endif
}

TEST_F(ThreadTest, InvalidHandlesFailEveryCall) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ff0));
    DWORD code = 0;
    SetLastError(0);
    EXPECT_EQ(ResumeThread(bogus), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetThreadPriority(bogus, 0));
    EXPECT_FALSE(GetExitCodeThread(bogus, &code));
    EXPECT_FALSE(TerminateThread(bogus, 0));
    EXPECT_EQ(GetThreadPriority(bogus), THREAD_PRIORITY_ERROR_RETURN);
}

#if !defined(_WIN32)
TEST_F(ThreadTest, EventHandlesAreNotThreads) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

TEST_F(ThreadTest, ARunningThreadCannotBeTerminatedAndRunsOn) {
    std::atomic<bool> release{false};
    HANDLE thread = Start(SpinUntilReleased, &release, 0);
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(thread, 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    release = true;
    ASSERT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    DWORD code = 7;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(TerminateThread(thread, 3)) << "an ended thread is terminated already";
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
}

TEST_F(ThreadTest, UnknownCreationFlagsAreRefused) {
    Probe probe;
    SetLastError(0);
    EXPECT_EQ(_beginthreadex(nullptr, 0, ProbeRoutine, &probe, 0x2, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(probe.ran.load());
}
#endif

TEST_F(ThreadTest, InjectedFaultsFailCreationPriorityAndResume) {
    for (seams::Operation op : {seams::Operation::CreateThread, seams::Operation::SetThreadPriority,
                                seams::Operation::ResumeThread}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's thread calls cannot fail on demand here";
        }
    }
    Probe probe;
    seams::FailNext(seams::Operation::CreateThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(_beginthreadex(nullptr, 0, ProbeRoutine, &probe, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    HANDLE thread = Start(ProbeRoutine, &probe, CREATE_SUSPENDED);
    seams::FailNext(seams::Operation::SetThreadPriority, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    seams::FailNext(seams::Operation::ResumeThread, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ResumeThread(thread), static_cast<DWORD>(-1));
    EXPECT_EQ(WaitForSingleObject(thread, 10), kTimedOut) << "a failed resume leaves the thread suspended";
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_TRUE(probe.ran.load());
}

}  // namespace

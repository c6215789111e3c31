// Kernel objects and messages: events, threads, message queues and message-pumping waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/test_helpers.h"
#include "vqplatform/platform.h"

namespace {

using vqtest::ExitCode;
using vqtest::kSafetyTimeout;
// Typed: Windows defines WAIT_TIMEOUT as a signed constant.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;
constexpr UINT kMessage = WM_APP + 7;

DWORD ErrorIf(bool failed) {
    return failed ? GetLastError() : ERROR_SUCCESS;
}

TEST(Events, ManualResetStaysSignalledAutoResetLetsOneWaitThrough) {
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), kTimedOut);
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), kTimedOut);

    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimedOut);
    ASSERT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(automatic, kSafetyTimeout), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimedOut) << "one wait took the signal";

    ASSERT_TRUE(CloseHandle(manual));
    EXPECT_EQ(ErrorIf(!CloseHandle(manual)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ErrorIf(!SetEvent(nullptr)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ErrorIf(WaitForSingleObject(nullptr, 0) == WAIT_FAILED),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(automatic);
}

// Records the thread it ran on and returns 42.
unsigned WINAPI Routine(void* ranOn) {
    *static_cast<std::atomic<DWORD>*>(ranOn) = GetCurrentThreadId();
    return 42;
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResumeAndEndsWithItsResult) {
    std::atomic<DWORD> ranOn{0};
    unsigned id = 0;
    auto thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Routine, &ranOn, CREATE_SUSPENDED, &id));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10), kTimedOut);
    EXPECT_EQ(ranOn.load(), 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code) && code == STILL_ACTIVE);
    EXPECT_EQ(ErrorIf(!SetThreadPriority(thread, 3)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(ExitCode(thread), 42u);
    EXPECT_EQ(ranOn.load(), id);
    CloseHandle(thread);
}

TEST(Messages, MsgWaitReturnsForTheEventForInputOfTheMaskAndOnTimeOut) {
    vqtest::DrainQueue();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 10, QS_ALLINPUT, 0), kTimedOut);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 10, QS_KEY, 0), kTimedOut)
        << "posted is no keyboard input";
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_POSTMESSAGE, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_ALLINPUT, 0), WAIT_OBJECT_0);
    vqtest::DrainQueue();
    CloseHandle(event);
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ff0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &bogus, 0, QS_ALLINPUT, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace

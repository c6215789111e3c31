// Kernel objects and messages as the library uses them: manual-reset events, waits with time-outs,
// suspended threads that the scheduler resumes or terminates, and message-pumping waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "platform/test_helpers.h"
#include "vqplatform/platform.h"

namespace {

using vqtest::ExitCode;
using vqtest::kSafetyTimeout;
// Typed: Windows defines WAIT_TIMEOUT as a signed constant.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;

TEST(Events, ManualResetStaysSignalledAutoResetLetsOneWaitThroughClosedHandlesFail) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimedOut);
    EXPECT_EQ(WaitForSingleObject(event, 1), kTimedOut);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "still signalled";
    ASSERT_TRUE(CloseHandle(event));
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimedOut) << "an auto-reset event lets one wait through";
    CloseHandle(automatic);
    // Null, not a closed handle: Windows gives closed handle values out again.
    const DWORD invalid = WaitForSingleObject(nullptr, 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(invalid, WAIT_FAILED);
}

unsigned WINAPI Routine(void* ranOn) {
    *static_cast<std::atomic<DWORD>*>(ranOn) = GetCurrentThreadId();
    return 42;
}

TEST(Threads, ASuspendedThreadRunsAfterItsResumeOrNeverWhenTerminated) {
    for (const bool resume : {true, false}) {
        SCOPED_TRACE(resume ? "resumed" : "terminated");
        std::atomic<DWORD> ranOn{0};
        unsigned id = 0;
        auto thread =
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Routine, &ranOn, CREATE_SUSPENDED, &id));
        ASSERT_NE(thread, nullptr);
        EXPECT_NE(id, 0u);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(thread, &code) && code == STILL_ACTIVE);
        if (resume) {
            EXPECT_EQ(ResumeThread(thread), 1u);
        } else {
            EXPECT_TRUE(TerminateThread(thread, 9));
        }
        EXPECT_EQ(ExitCode(thread), resume ? 42u : 9u);
        EXPECT_EQ(ranOn.load(), resume ? id : 0u);
        CloseHandle(thread);
    }
}

TEST(Messages, MsgWaitEndsOnTheEventOnNewInputOfTheMaskOrOnTimeOut) {
    vqtest::DrainQueue();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto wait = [&event](DWORD mask) { return MsgWaitForMultipleObjectsEx(1, &event, 0, mask, 0); };
    EXPECT_EQ(wait(QS_ALLINPUT), kTimedOut);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
    EXPECT_EQ(wait(QS_KEY), kTimedOut) << "posted is no keyboard input";
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
    EXPECT_EQ(wait(QS_POSTMESSAGE), WAIT_OBJECT_0 + 1);
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(wait(QS_POSTMESSAGE), kTimedOut) << "one is still queued, but seen by the look";
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(wait(QS_ALLINPUT), WAIT_OBJECT_0);
    vqtest::DrainQueue();
    CloseHandle(event);
}

}  // namespace

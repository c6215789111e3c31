// The message-pumping wait as XThreadSync uses it: which source ended it, and which input counts.
#include <gtest/gtest.h>

#include <thread>

#include "platform/test_helpers.h"
#include "vqplatform/platform.h"

namespace {

// Typed: Windows defines WAIT_TIMEOUT as a signed constant.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;

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

TEST(Messages, ADeadThreadsQueueTakesNoPosts) {
    DWORD dead = 0;
    std::thread([&dead] {
        vqtest::DrainQueue();  // makes the thread's queue
        dead = GetCurrentThreadId();
        EXPECT_TRUE(PostThreadMessageW(dead, WM_APP, 0, 0));
    }).join();
    EXPECT_FALSE(PostThreadMessageW(dead, WM_APP, 0, 0));
}

}  // namespace

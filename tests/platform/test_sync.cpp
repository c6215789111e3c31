#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "vqplatform/platform.h"
#include "vqplatform/testing.h"

namespace {

using namespace std::chrono_literals;
namespace seams = vqplatform::testing;
using Clock = std::chrono::steady_clock;

// Long enough never to pass on a healthy machine, so a test that hangs fails instead.
constexpr DWORD kSafetyTimeout = 5000;
// Typed: Windows defines WAIT_TIMEOUT as a signed constant.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;

class EventTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (HANDLE handle : m_handles) {
            CloseHandle(handle);
        }
    }
    HANDLE Event(bool manualReset, bool signalled) {
        HANDLE handle = CreateEventW(nullptr, manualReset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr);
        EXPECT_NE(handle, nullptr);
        m_handles.push_back(handle);
        return handle;
    }

    seams::ScopedReset m_reset;
    std::vector<HANDLE> m_handles;
};

TEST_F(EventTest, ManualResetEventStaysSignalledUntilReset) {
    HANDLE event = Event(true, false);
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimedOut);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, kSafetyTimeout), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimedOut);
}

TEST_F(EventTest, InitialStateIsHonoured) {
    EXPECT_EQ(WaitForSingleObject(Event(true, true), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(Event(false, true), 0), WAIT_OBJECT_0);
}

TEST_F(EventTest, AutoResetEventLetsExactlyOneWaitThrough) {
    HANDLE event = Event(false, false);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, kSafetyTimeout) == WAIT_OBJECT_0) {
            ++released;
        }
    };
    std::thread first(waiter);
    std::thread second(waiter);
    ASSERT_TRUE(SetEvent(event));
    while (released.load() == 0) {
        std::this_thread::yield();
    }
    // The signal went to one waiter and was consumed: nothing is left for a third.
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimedOut);
    ASSERT_TRUE(SetEvent(event));
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
}

TEST_F(EventTest, FiniteWaitTimesOutAfterItsTimeout) {
    HANDLE event = Event(true, false);
    const auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 20), kTimedOut);
    // Windows may end a wait up to one timer tick early.
    EXPECT_GE(Clock::now() - start, 4ms);
}

TEST_F(EventTest, SetEventWakesAWaitingThread) {
    HANDLE event = Event(true, false);
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForSingleObject(event, kSafetyTimeout); });
    ASSERT_TRUE(SetEvent(event));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST_F(EventTest, NullAndClosedHandlesFailWithInvalidHandle) {
    SetLastError(0);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

#if !defined(_WIN32)
// Windows reuses handle values; here a closed handle stays invalid for good.
TEST_F(EventTest, ClosedHandleIsNeverGivenOutAgain) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE fresh = Event(true, false);
    EXPECT_NE(fresh, closed);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(closed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_FALSE(ResetEvent(closed));
    EXPECT_EQ(WaitForSingleObject(fresh, 0), kTimedOut);
}

TEST_F(EventTest, ClosingAHandleLetsAPendingWaitGoOn) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> waiting{false};
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
        waiting = true;
        result = WaitForSingleObject(event, 30);
    });
    while (!waiting.load()) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(CloseHandle(event));
    waiter.join();
    EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_FAILED) << result;
}

TEST_F(EventTest, NamedEventsAreNotSupported) {
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Global\\vq"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}
#endif

TEST_F(EventTest, InjectedFaultsFailCreateSetAndWaitWithTheArmedError) {
    for (seams::Operation op :
         {seams::Operation::CreateEvent, seams::Operation::SetEvent, seams::Operation::Wait}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's event calls cannot fail on demand here";
        }
    }
    HANDLE event = Event(true, false);
    seams::FailNext(seams::Operation::CreateEvent, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_NE(Event(true, false), nullptr);

    seams::FailNext(seams::Operation::SetEvent, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimedOut);

    ASSERT_TRUE(SetEvent(event));
    seams::FailNext(seams::Operation::Wait, 2, ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, QS_ALLINPUT, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "vqplatform/platform.h"
#include "vqplatform/testing.h"

namespace {

using namespace std::chrono_literals;
namespace seams = vqplatform::testing;

constexpr DWORD kSafetyTimeout = 5000;
// Typed: Windows defines WAIT_TIMEOUT as a signed constant.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;

DWORD LastErrorOf(bool failed) {
    return failed ? GetLastError() : ERROR_SUCCESS;
}

TEST(EventTest, ManualResetStaysSignalledAutoResetLetsOneWaitThrough) {
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(automatic, nullptr);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(manual, 20), kTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4ms) << "Windows may end a wait one tick early";
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), kTimedOut);

    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimedOut);
    DWORD woken = WAIT_FAILED;
    std::thread waiter([&] { woken = WaitForSingleObject(automatic, kSafetyTimeout); });
    ASSERT_TRUE(SetEvent(automatic));
    waiter.join();
    EXPECT_EQ(woken, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimedOut) << "the waiter consumed the signal";
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST(EventTest, NullAndClosedHandlesFailWithInvalidHandle) {
    EXPECT_EQ(LastErrorOf(!SetEvent(nullptr)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LastErrorOf(WaitForSingleObject(nullptr, 0) == WAIT_FAILED),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_EQ(LastErrorOf(!CloseHandle(event)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

#if !defined(_WIN32)
// Windows reuses handle values; here a closed handle stays invalid for good, even for a pending wait.
TEST(EventTest, ClosedHandlesStayInvalidAndPendingWaitsGoOn) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> waiting{false};
    DWORD pending = WAIT_FAILED;
    std::thread waiter([&] {
        waiting = true;
        pending = WaitForSingleObject(closed, 20);
    });
    while (!waiting.load()) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(CloseHandle(closed));
    waiter.join();
    EXPECT_TRUE(pending == kTimedOut || pending == WAIT_FAILED) << pending;

    HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(fresh, closed);
    EXPECT_EQ(LastErrorOf(!SetEvent(closed)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ResetEvent(closed));
    EXPECT_EQ(WaitForSingleObject(fresh, 0), kTimedOut);
    CloseHandle(fresh);
    EXPECT_EQ(LastErrorOf(CreateEventW(nullptr, TRUE, FALSE, L"named") == nullptr),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}
#endif

TEST(EventTest, InjectedFaultsFailCreateSetAndWaitWithTheArmedError) {
    for (seams::Operation op :
         {seams::Operation::CreateEvent, seams::Operation::SetEvent, seams::Operation::Wait}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's event calls cannot fail on demand here";
        }
    }
    seams::ScopedReset reset;
    seams::FailNext(seams::Operation::CreateEvent, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(LastErrorOf(CreateEventW(nullptr, TRUE, FALSE, nullptr) == nullptr),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    seams::FailNext(seams::Operation::SetEvent, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(LastErrorOf(!SetEvent(event)), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimedOut) << "a failed signal changes nothing";

    ASSERT_TRUE(SetEvent(event));
    seams::FailNext(seams::Operation::Wait, 2, ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, QS_ALLINPUT, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

}  // namespace

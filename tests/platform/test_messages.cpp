#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>

#include "platform/test_messages_window.h"
#include "vqplatform/platform.h"

namespace {

using vqtest::MessageWindow;
using vqtest::WindowCallback;

constexpr DWORD kSafetyTimeout = 5000;
// Typed: Windows defines WAIT_TIMEOUT as a signed constant.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;
constexpr UINT kMessage = WM_APP + 7;

// Drops whatever an earlier test left in this thread's queue.
void DrainQueue() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST(MessageQueueTest, PeekHonoursFiltersAndDispatchRunsOnlyWindowProcedures) {
    DrainQueue();
    MessageWindow window;
    int runs = 0;
    WindowCallback count = [&] { ++runs; };
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 1, 10));
    ASSERT_TRUE(window.Post(&count));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), vqtest::kRunMessage, 3, 30));

    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, window.Handle(), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, window.Handle());
    DispatchMessageW(&msg);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(PeekMessageW(&msg, window.Handle(), 0, 0, PM_NOREMOVE));
    ASSERT_TRUE(
        PeekMessageW(&msg, reinterpret_cast<HWND>(-1), vqtest::kRunMessage, vqtest::kRunMessage, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(DispatchMessageW(&msg), 0) << "a thread message has no procedure";
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, kMessage);
    EXPECT_EQ(msg.lParam, 10);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(runs, 1);
}

TEST(MessageQueueTest, QueuesAndWindowsExistOnlyWhileTheirThreadDoes) {
    std::promise<DWORD> idOfPlain;
    std::promise<void> release;
    std::thread plain([&] {
        idOfPlain.set_value(GetCurrentThreadId());
        release.get_future().wait();
    });
    const DWORD plainId = idOfPlain.get_future().get();
    EXPECT_FALSE(PostThreadMessageW(plainId, kMessage, 0, 0)) << "no queue before a message call";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    release.set_value();
    plain.join();

    DWORD endedId = 0;
    HWND window = nullptr;
    std::thread owner([&] {
        endedId = GetCurrentThreadId();
        window = CreateWindowExW(0, vqtest::RunCallbackClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        EXPECT_TRUE(PostThreadMessageW(endedId, kMessage, 0, 0));
    });
    owner.join();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostThreadMessageW(endedId, kMessage, 0, 0));
}

TEST(MsgWaitTest, ReturnsForTheEventForInputOfTheMaskAndOnTimeOut) {
    DrainQueue();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 10, QS_ALLINPUT, 0), kTimedOut);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 10, QS_KEY, 0), kTimedOut)
        << "posted is not keyboard input";
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_POSTMESSAGE, 0), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_ALLINPUT, 0), WAIT_OBJECT_0);
    DrainQueue();
    CloseHandle(event);

    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ff0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &bogus, 0, QS_ALLINPUT, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(MsgWaitTest, WakesWhenAnotherThreadPostsOrSignals) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> waiterId{0};
    std::atomic<DWORD> byMessage{WAIT_FAILED};
    std::atomic<DWORD> bySignal{WAIT_FAILED};
    std::thread waiter([&] {
        DrainQueue();
        waiterId = GetCurrentThreadId();
        byMessage = MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_POSTMESSAGE, 0);
        DrainQueue();  // on Windows only reading the queue makes the message old, not the wait
        bySignal = MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_POSTMESSAGE, 0);
    });
    while (waiterId.load() == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(PostThreadMessageW(waiterId.load(), kMessage, 0, 0));
    while (byMessage.load() == WAIT_FAILED) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(SetEvent(event));
    waiter.join();
    EXPECT_EQ(byMessage.load(), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(bySignal.load(), WAIT_OBJECT_0);
    CloseHandle(event);
}

#if !defined(_WIN32)
TEST(MsgWaitTest, ReportedInputIsSeenUnlessInputAvailableIsAsked) {
    DrainQueue();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, QS_POSTMESSAGE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, QS_POSTMESSAGE, 0), kTimedOut);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE),
              WAIT_OBJECT_0 + 1);
    DrainQueue();
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 0, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE), kTimedOut);
    CloseHandle(event);
}

TEST(MessageQueueTest, WindowsBelongToTheirThreadAndTakeTheirMessagesAlong) {
    DrainQueue();
    auto window = std::make_unique<MessageWindow>();
    const HWND handle = window->Handle();
    int runs = 0;
    WindowCallback count = [&] { ++runs; };
    ASSERT_TRUE(window->Post(&count));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    std::thread other([&] {
        EXPECT_EQ(DispatchMessageW(&msg), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINDOW_OF_OTHER_THREAD));
        EXPECT_FALSE(DestroyWindow(handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINDOW_OF_OTHER_THREAD));
    });
    other.join();
    window.reset();
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "discarded with the window";
    EXPECT_FALSE(PostMessageW(handle, kMessage, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(runs, 0);
}

TEST(MessageQueueTest, ClassesAreUniqueIgnoringCaseAndStayWhileInUse) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.lpszClassName = L"VQTestClassLifetime";
    const ATOM atom = RegisterClassW(&windowClass);
    ASSERT_NE(atom, 0);
    windowClass.lpszClassName = L"vqtestclasslifetime";
    EXPECT_EQ(RegisterClassW(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    HWND window =
        CreateWindowExW(0, MAKEINTATOM(atom), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(UnregisterClassW(L"VQTestClassLifetime", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterClassW(L"VQTestClassLifetime", nullptr));
    EXPECT_EQ(CreateWindowExW(0, L"VQTestClassLifetime", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                              nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST(MessageQueueTest, AFullQueueRefusesMorePosts) {
    DrainQueue();
    int posted = 0;
    while (posted <= 10000 && PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0)) {
        ++posted;
    }
    EXPECT_EQ(posted, 10000);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    DrainQueue();
}
#endif

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/test_messages_window.h"
#include "vqplatform/platform.h"
#include "vqplatform/testing.h"

namespace {

using namespace std::chrono_literals;
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

// A thread that has created its queue and then parks until released.
class ParkedThread {
  public:
    ParkedThread()
        : m_thread([this] {
              MSG msg;
              PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
              std::unique_lock<std::mutex> lock(m_mutex);
              m_id = GetCurrentThreadId();
              m_changed.notify_all();
              m_changed.wait(lock, [this] { return m_released; });
          }) {}
    ~ParkedThread() {
        if (m_thread.joinable()) {
            Join();
        }
    }
    DWORD Id() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_id != 0; });
        return m_id;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    void Join() {
        Release();
        m_thread.join();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    DWORD m_id = 0;
    bool m_released = false;
    std::thread m_thread;
};

TEST(MessageQueueTest, PeekTakesMessagesInOrderAndHonoursWindowAndRangeFilters) {
    DrainQueue();
    MessageWindow window;
    ASSERT_NE(window.Handle(), nullptr);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 1, 10));
    ASSERT_TRUE(PostMessageW(window.Handle(), kMessage + 1, 2, 20));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage + 2, 3, 30));

    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, window.Handle(), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, window.Handle());
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_EQ(msg.lParam, 20);
    EXPECT_FALSE(PeekMessageW(&msg, window.Handle(), 0, 0, PM_REMOVE));

    ASSERT_TRUE(PeekMessageW(&msg, reinterpret_cast<HWND>(-1), kMessage + 2, kMessage + 2, PM_NOREMOVE));
    EXPECT_EQ(msg.wParam, 3u);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.message, kMessage);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, kMessage + 2u);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(MessageQueueTest, DispatchRunsTheWindowProcedureAndIgnoresThreadMessages) {
    DrainQueue();
    MessageWindow window;
    int runs = 0;
    WindowCallback count = [&] { ++runs; };
    ASSERT_TRUE(window.Post(&count));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), vqtest::kRunMessage, 0, 0));
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(runs, 1);
}

TEST(MessageQueueTest, PostingToAThreadWithoutQueueOrAfterItEndedFails) {
    std::mutex mutex;
    std::condition_variable changed;
    DWORD id = 0;
    bool release = false;
    std::thread plain([&] {
        std::unique_lock<std::mutex> lock(mutex);
        id = GetCurrentThreadId();
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return id != 0; });
    }
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(id, kMessage, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
    }
    plain.join();

    ParkedThread parked;
    const DWORD parkedId = parked.Id();
    EXPECT_TRUE(PostThreadMessageW(parkedId, kMessage, 0, 0));
    parked.Join();
    EXPECT_FALSE(PostThreadMessageW(parkedId, kMessage, 0, 0));
}

TEST(MessageQueueTest, WindowsEndWithTheirThread) {
    HWND window = nullptr;
    std::thread owner([&] {
        window = CreateWindowExW(0, vqtest::RunCallbackClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        EXPECT_TRUE(IsWindow(window));
    });
    owner.join();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindow(window));
}

TEST(MsgWaitTest, ReturnsForTheEventForPostedInputAndOnTimeOut) {
    DrainQueue();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 10, QS_ALLINPUT, 0), kTimedOut);

    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 10, QS_KEY, 0), kTimedOut)
        << "posted messages are not keyboard input";
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_POSTMESSAGE, 0), WAIT_OBJECT_0 + 1);

    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_ALLINPUT, 0), WAIT_OBJECT_0);
    DrainQueue();
    CloseHandle(event);
}

TEST(MsgWaitTest, WakesOnAMessagePostedByAnotherThread) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> waiterId{0};
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
        DrainQueue();
        waiterId = GetCurrentThreadId();
        result = MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_POSTMESSAGE, 0);
    });
    while (waiterId.load() == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(PostThreadMessageW(waiterId.load(), kMessage, 0, 0));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
    CloseHandle(event);
}

TEST(MsgWaitTest, WakesWhenAnotherThreadSignals) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD result = WAIT_FAILED;
    std::thread waiter(
        [&] { result = MsgWaitForMultipleObjectsEx(1, &event, kSafetyTimeout, QS_ALLINPUT, 0); });
    ASSERT_TRUE(SetEvent(event));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(MsgWaitTest, InvalidHandleFails) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ff0));
    SetLastError(0);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &bogus, 0, QS_ALLINPUT, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
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

TEST(MessageQueueTest, WindowsBelongToTheirThread) {
    DrainQueue();
    MessageWindow window;
    int runs = 0;
    WindowCallback count = [&] { ++runs; };
    ASSERT_TRUE(window.Post(&count));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    std::thread other([&] {
        SetLastError(0);
        EXPECT_EQ(DispatchMessageW(&msg), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINDOW_OF_OTHER_THREAD));
        EXPECT_FALSE(DestroyWindow(window.Handle()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINDOW_OF_OTHER_THREAD));
    });
    other.join();
    EXPECT_EQ(runs, 0);
    DispatchMessageW(&msg);
    EXPECT_EQ(runs, 1);
}

TEST(MessageQueueTest, DestroyingAWindowDiscardsItsMessages) {
    DrainQueue();
    auto window = std::make_unique<MessageWindow>();
    const HWND handle = window->Handle();
    ASSERT_TRUE(PostMessageW(handle, kMessage, 0, 0));
    window.reset();
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(handle, kMessage, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(MessageQueueTest, WindowClassesAreUniqueAndCannotGoWhileInUse) {
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
    BOOL posted = TRUE;
    int count = 0;
    while (posted && count <= 10000) {
        posted = PostThreadMessageW(GetCurrentThreadId(), kMessage, 0, 0);
        count += posted ? 1 : 0;
    }
    EXPECT_EQ(count, 10000);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    DrainQueue();
}
#endif

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "Rudada64/XThreadSync.h"
#include "platform/test_messages_window.h"
#include "vqplatform/testing.h"

namespace {

using namespace std::chrono_literals;
namespace seams = vqplatform::testing;
using Clock = std::chrono::steady_clock;
using vqtest::MessageWindow;
using vqtest::WindowCallback;

// Runs `f`, which must throw, and checks the report against the thread-event error table.
template <class F>
void ExpectReport(F&& f, XVQEXCEP::ERROR_SEVERITY severity, HRESULT hr, const wchar_t* message, unsigned line,
                  const wchar_t* function) {
    try {
        f();
        ADD_FAILURE() << "nothing thrown";
    } catch (XWrappedVQException& e) {
        EXPECT_EQ(e->Type(), XVQEXCEP::TYPE_MODULE);
        EXPECT_EQ(e->Severity(), severity);
        EXPECT_EQ(e->HResult(), hr);
        EXPECT_EQ(e->Message().ToWString(), message);
        EXPECT_TRUE(e->AdditionalText().IsEmpty());
        EXPECT_EQ(e->Location().File(), "Rudada64/XThreadSync.h");
        EXPECT_EQ(e->Location().Line(), line);
        EXPECT_EQ(e->Location().Subsystem().ToWString(), L"VQProcessStateHandler");
        EXPECT_EQ(e->Location().Function().ToWString(), function);
    }
}

void DrainQueue() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

class ThreadSyncTest : public ::testing::Test {
  protected:
    void SetUp() override { DrainQueue(); }
    void TearDown() override { CloseHandle(m_event); }
    HANDLE MakeEvent(BOOL initialState) {
        XThreadSync::CreateEvent(m_event, initialState);
        return m_event;
    }

    seams::ScopedReset m_reset;
    HANDLE m_event = nullptr;
};

TEST_F(ThreadSyncTest, EventsAreManualResetAndFiniteWaitsTimeOut) {
    HANDLE event = MakeEvent(FALSE);
    ASSERT_NE(event, nullptr);
    const auto start = Clock::now();
    EXPECT_FALSE(XThreadSync::WaitForEvent(event, 20));
    EXPECT_GE(Clock::now() - start, 4ms) << "Windows may end a wait one tick early";
    XThreadSync::SetEvent(event);
    EXPECT_TRUE(XThreadSync::WaitForEvent(event, 0));
    EXPECT_TRUE(XThreadSync::WaitForEvent(event, INFINITE)) << "stays signalled";

    HANDLE initiallySet = nullptr;
    XThreadSync::CreateEvent(initiallySet, TRUE);
    MessageWindow window;
    int runs = 0;
    WindowCallback count = [&] { ++runs; };
    ASSERT_TRUE(window.Post(&count));
    EXPECT_TRUE(XThreadSync::WaitForEvent(initiallySet, INFINITE));
    EXPECT_EQ(runs, 1) << "what was queued is dispatched before a signalled wait returns";
    CloseHandle(initiallySet);
}

TEST_F(ThreadSyncTest, MessagesPostedToTheWaitingThreadRunOnItDuringTheWait) {
    HANDLE event = MakeEvent(FALSE);
    std::atomic<HWND> windowHandle{nullptr};
    std::atomic<DWORD> waiterId{0};
    DWORD ranOn = 0;
    bool result = false;
    std::thread waiter([&] {
        MessageWindow window;
        waiterId = GetCurrentThreadId();
        windowHandle = window.Handle();
        result = XThreadSync::WaitForEvent(event, INFINITE);
    });
    while (windowHandle.load() == nullptr) {
        std::this_thread::yield();
    }
    // Nothing but the dispatched message can end this wait.
    WindowCallback signal = [&] {
        ranOn = GetCurrentThreadId();
        XThreadSync::SetEvent(event);
    };
    EXPECT_TRUE(PostMessageW(windowHandle.load(), vqtest::kRunMessage, reinterpret_cast<WPARAM>(&signal), 0));
    waiter.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(ranOn, waiterId.load());
}

struct TimedWait {
    Clock::time_point dispatched;
    Clock::time_point end;
    bool result = true;
    bool dispatchedDuringWait = false;
};

// Waits `timeout` on a thread of its own while this thread posts it one message after `delay`.
TimedWait WaitWithOneMessage(HANDLE event, DWORD timeout, std::chrono::milliseconds delay) {
    TimedWait timed;
    std::atomic<HWND> windowHandle{nullptr};
    std::atomic<bool> posted{false};
    WindowCallback stamp = [&] {
        timed.dispatched = Clock::now();
        timed.dispatchedDuringWait = true;
    };
    std::thread waiter([&] {
        MessageWindow window;
        windowHandle = window.Handle();
        timed.result = XThreadSync::WaitForEvent(event, timeout);
        timed.end = Clock::now();
        // The window lives until the message was posted; one that came too late is not dispatched.
        while (!posted.load()) {
            std::this_thread::yield();
        }
        DrainQueue();
    });
    while (windowHandle.load() == nullptr) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(delay);
    EXPECT_TRUE(PostMessageW(windowHandle.load(), vqtest::kRunMessage, reinterpret_cast<WPARAM>(&stamp), 0));
    posted = true;
    waiter.join();
    return timed;
}

TEST_F(ThreadSyncTest, AMessageRestartsTheWholeTimeout) {
    constexpr DWORD kTimeout = 60;
#if defined(_WIN32)
    constexpr auto kSlack = 16ms;  // one timer tick
#else
    constexpr auto kSlack = 1ms;
#endif
    HANDLE event = MakeEvent(FALSE);
    // A busy machine may deliver the message only after the wait; then the trial proves nothing.
    for (int trial = 0; trial < 3; ++trial) {
        const TimedWait timed = WaitWithOneMessage(event, kTimeout, 20ms);
        if (timed.dispatchedDuringWait) {
            EXPECT_FALSE(timed.result);
            // A fixed deadline would have ended the wait at most 40 ms after the message.
            EXPECT_GE(timed.end - timed.dispatched, std::chrono::milliseconds(kTimeout) - kSlack);
            return;
        }
    }
    ADD_FAILURE() << "the message never arrived while the thread waited";
}

TEST_F(ThreadSyncTest, NullHandlesAreRefusedBeforeTheQueueIsTouched) {
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
    ExpectReport([] { XThreadSync::WaitForEvent(nullptr, 0); }, XVQEXCEP::SEVERITY_SEVERE, E_FAIL,
                 L"wait handle is NULL", 50, L"XThreadSync::WaitForEvent");
    ExpectReport([] { XThreadSync::SetEvent(nullptr); }, XVQEXCEP::SEVERITY_SEVERE, E_FAIL,
                 L"wait handle is NULL", 164, L"XThreadSync::SetEvent()");
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "the posted message is still queued";
}

TEST_F(ThreadSyncTest, FailedCallsThrowTheirReports) {
    for (seams::Operation op :
         {seams::Operation::CreateEvent, seams::Operation::SetEvent, seams::Operation::Wait}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's event calls cannot fail on demand here";
        }
    }
    seams::FailNext(seams::Operation::CreateEvent, 1, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE failed = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x1234));
    ExpectReport([&] { XThreadSync::CreateEvent(failed, FALSE); }, XVQEXCEP::SEVERITY_CRITICAL,
                 HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), L"CreateEvent failed", 209,
                 L"XThreadSync::CreateEvent()");
    EXPECT_EQ(failed, nullptr);

    HANDLE event = MakeEvent(FALSE);
    seams::FailNext(seams::Operation::SetEvent, 1, ERROR_ACCESS_DENIED);
    ExpectReport([&] { XThreadSync::SetEvent(event); }, XVQEXCEP::SEVERITY_CRITICAL,
                 HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), L"wait for signaled event failed", 167,
                 L"XThreadSync::SetEvent()");
    EXPECT_FALSE(XThreadSync::WaitForEvent(event, 0)) << "a failed signal leaves the event as it was";

    XThreadSync::SetEvent(event);
    seams::FailNext(seams::Operation::Wait, 1, ERROR_INVALID_HANDLE);
    ExpectReport([&] { XThreadSync::WaitForEvent(event, INFINITE); }, XVQEXCEP::SEVERITY_CRITICAL, E_FAIL,
                 L"wait for signaled event failed", 68, L"XThreadSync::WaitForEvent");
    EXPECT_TRUE(XThreadSync::WaitForEvent(event, 0));
}

}  // namespace

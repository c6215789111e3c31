#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <tuple>

#include "Rudada64/XThreadSync.h"
#include "platform/test_helpers.h"
#include "seams/PlatformSeams.h"
#include "support/ModuleTest.h"

namespace {

using namespace std::chrono_literals;
namespace seams = vqtest::seams;
using Clock = std::chrono::steady_clock;
using vqtest::DrainQueue;

// Severity, HRESULT, message, line and function of a report.
using Report = std::tuple<int, HRESULT, std::wstring, unsigned, std::wstring>;

// What `f` throws; the parts every report of this header shares are checked here.
template <class F>
Report Thrown(F&& f) {
    try {
        f();
    } catch (XWrappedVQException& e) {
        EXPECT_EQ(e->Type(), 2);
        EXPECT_TRUE(e->AdditionalText().IsEmpty());
        EXPECT_EQ(e->Location().File(), "Rudada64/XThreadSync.h");
        EXPECT_EQ(e->Location().Subsystem().ToWString(), L"VQProcessStateHandler");
        return {e->Severity(), e->HResult(), e->Message().ToWString(), e->Location().Line(),
                e->Location().Function().ToWString()};
    }
    return {};
}

class ThreadSyncTest : public vqtest::ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        DrainQueue();
        XThreadSync::CreateEvent(m_event, FALSE);
    }
    void TearDown() override {
        CloseHandle(m_event);
        ModuleTest::TearDown();
    }

    HANDLE m_event = nullptr;
};

TEST_F(ThreadSyncTest, FiniteWaitsTimeOutAndASignalledEventReturnsAtOnceAndStays) {
    const auto start = Clock::now();
    EXPECT_FALSE(XThreadSync::WaitForEvent(m_event, 20));
    EXPECT_GE(Clock::now() - start, 4ms) << "Windows may end a wait one tick early";
    XThreadSync::SetEvent(m_event);
    EXPECT_TRUE(XThreadSync::WaitForEvent(m_event, 0));
    EXPECT_TRUE(XThreadSync::WaitForEvent(m_event, INFINITE)) << "stays signalled";

    HANDLE initiallySet = nullptr;
    XThreadSync::CreateEvent(initiallySet, TRUE);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
    EXPECT_TRUE(XThreadSync::WaitForEvent(initiallySet, INFINITE));
    EXPECT_FALSE(DrainQueue()) << "what was queued is taken off before a signalled wait returns";
    CloseHandle(initiallySet);
}

TEST_F(ThreadSyncTest, NullHandlesAreRefusedBeforeTheQueueIsTouched) {
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
    EXPECT_EQ(Thrown([] { XThreadSync::WaitForEvent(nullptr, 0); }),
              Report(8, E_FAIL, L"wait handle is NULL", 50, L"XThreadSync::WaitForEvent"));
    EXPECT_EQ(Thrown([] { XThreadSync::SetEvent(nullptr); }),
              Report(8, E_FAIL, L"wait handle is NULL", 164, L"XThreadSync::SetEvent()"));
    EXPECT_TRUE(DrainQueue()) << "the posted message is still queued";
}

TEST_F(ThreadSyncTest, FailedCallsThrowTheirReportsAndChangeNothing) {
    HANDLE failed = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x1234));
    seams::FailNext(seams::Operation::CreateEvent, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Thrown([&] { XThreadSync::CreateEvent(failed, FALSE); }),
              Report(11, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), L"CreateEvent failed", 209,
                     L"XThreadSync::CreateEvent()"));
    EXPECT_EQ(failed, nullptr);
    seams::FailNext(seams::Operation::SetEvent, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Thrown([this] { XThreadSync::SetEvent(m_event); }),
              Report(11, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), L"wait for signaled event failed", 167,
                     L"XThreadSync::SetEvent()"));
    EXPECT_FALSE(XThreadSync::WaitForEvent(m_event, 0));
}

}  // namespace

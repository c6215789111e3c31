#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <string>
#include <tuple>

#include "platform/test_helpers.h"
#include "seams/PlatformSeams.h"
#include "support/ModuleTest.h"
#include "xemergencyhandlerthreadscheduler.h"
#include "xstatehandlerinstance.h"

namespace {

namespace seams = vqtest::seams;

using vqtest::ExitCode;

std::list<void*> RegistryCopy() {
    return *XStateHandlerInstance::Instance()->GetProxy();
}

unsigned ReturnsFive(void* /*param*/) {
    return 5;
}

class SchedulerTest : public vqtest::ModuleTest {
  protected:
    // Starts a thread and returns its handle, which must be the one new entry of the registry.
    static HANDLE Start(XThreadTaskRoutine routine, int priority) {
        const std::size_t before = RegistryCopy().size();
        XEmergencyHandlerThreadScheduler::StartThread(routine, nullptr, priority);
        const std::list<void*> after = RegistryCopy();
        EXPECT_EQ(after.size(), before + 1) << "one handle per started thread";
        return after.empty() ? nullptr : after.back();
    }
};

// The routine's result is the exit code; a failed creation is thrown and records nothing; a failed
// priority is logged and the thread runs; a thread without its parameter logs that and ends.
TEST_F(SchedulerTest, RoutineResultAndFailedCalls) {
    EXPECT_EQ(ExitCode(Start(ReturnsFive, -1)), 5u);
    const std::size_t before = RegistryCopy().size();
    seams::FailNext(seams::Operation::CreateThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    try {
        XEmergencyHandlerThreadScheduler::StartThread(ReturnsFive, nullptr, 0);
        ADD_FAILURE() << "nothing thrown";
    } catch (XWrappedVQException& e) {
        EXPECT_EQ(std::make_tuple(e->HResult(), e->Location().Line()),
                  std::make_tuple(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), 237u));
    }
    EXPECT_EQ(RegistryCopy().size(), before);
    seams::FailNext(seams::Operation::SetThreadPriority, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ExitCode(Start(ReturnsFive, -1)), 5u);
    EXPECT_TRUE(XVQLogBook::Entries().empty()) << "a negative priority makes no call";
    EXPECT_EQ(ExitCode(Start(ReturnsFive, 0)), 5u) << "priority 0 is set, fails, and the thread runs";
    const auto log = XVQLogBook::Entries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(std::make_tuple(log[0].kind, log[0].line), std::make_tuple(XVQLogEntry::Kind::ApiError, 243u));
    XVQLogBook::Clear();
    EXPECT_EQ(XEmergencyHandlerThreadScheduler::RunThreadTask(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(std::make_tuple(XVQLogBook::Entries().at(0).line, XVQLogBook::Entries().at(0).message),
              std::make_tuple(194u, std::wstring(L"thread param == NULL - cannot run thread task routine")));
}

// The handle is recorded before the thread runs: a registry that cannot take it ends the thread
// before it has begun, so a StartThread that throws leaves nothing running.
TEST_F(SchedulerTest, AThreadThatCannotBeRecordedNeverRuns) {
    static std::atomic<int> runs;
    runs = 0;  // also when the test is repeated in one process
    const XThreadTaskRoutine counting = [](void*) -> unsigned { return static_cast<unsigned>(++runs); };
    const std::size_t before = RegistryCopy().size();
    // The registry's reference enters its count lock first, then its main lock, which fails.
    seams::FailNext(seams::Operation::CritSecEnter, 1, E_ACCESSDENIED, 1);
    EXPECT_ANY_THROW(XEmergencyHandlerThreadScheduler::StartThread(counting, nullptr, -1));
    EXPECT_EQ(RegistryCopy().size(), before);
    // Recorded, but the lock fails to leave: the registry's handle stays open, on an ended thread.
    seams::FailNext(seams::Operation::CritSecLeave, 1, E_UNEXPECTED, 1);
    EXPECT_ANY_THROW(XEmergencyHandlerThreadScheduler::StartThread(counting, nullptr, -1));
    XStateHandlerInstance::Instance()->Section().ReleaseLockRef();  // the lock the failed leave kept
    EXPECT_EQ(ExitCode(RegistryCopy().back()), 0xFFFFFFFFu);
    // A thread started after it has run to its end; one left running behind the error ran first.
    EXPECT_EQ(ExitCode(Start(counting, -1)), 1u);
    EXPECT_EQ(runs.load(), 1);
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "platform/test_helpers.h"
#include "vqplatform/testing.h"
#include "xemergencyhandlerthreadscheduler.h"
#include "xstatehandlerinstance.h"

namespace {

namespace seams = vqplatform::testing;

using vqtest::ExitCode;
const char* const kFile = ".\\xemergencyhandlerinstance";

// Kind, line, message and function of a log book entry.
using Entry = std::tuple<XVQLogEntry::Kind, unsigned, std::wstring, std::wstring>;

std::vector<Entry> TakeEntries() {
    std::vector<Entry> taken;
    for (const XVQLogEntry& e : XVQLogBook::Entries()) {
        EXPECT_TRUE(e.file == kFile || e.kind == XVQLogEntry::Kind::Exception) << e.file;
        taken.emplace_back(e.kind, e.line, e.message, e.function);
    }
    XVQLogBook::Clear();
    return taken;
}

std::list<void*> RegistryCopy() {
    return *XStateHandlerInstance::Instance()->GetProxy();
}

unsigned ReturnsFive(void* /*param*/) {
    return 5;
}

// Throw a std::exception, a wrapped exception and something else.
const XThreadTaskRoutine kThrowing[] = {
    [](void*) -> unsigned { throw std::runtime_error("routine failed"); },
    [](void*) -> unsigned {
        ThrowExcepIfFailed(XVQEXCEP::TYPE_MODULE, E_ACCESSDENIED, XVQEXCEP::SEVERITY_ERROR,
                           VQErrorLocation("elsewhere", 3, VQModuleName(), XVQComBSTR(L"g")), L"wrapped", L"",
                           1);
        return 0;
    },
    [](void*) -> unsigned { throw 3; }};

class SchedulerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
    }
    void TearDown() override { XVQLogBook::Clear(); }

    // Starts a thread and returns its handle, which must be the one new entry of the registry.
    static HANDLE Start(XThreadTaskRoutine routine, int priority) {
        const std::size_t before = RegistryCopy().size();
        XEmergencyHandlerThreadScheduler::StartThread(routine, nullptr, priority);
        const std::list<void*> after = RegistryCopy();
        EXPECT_EQ(after.size(), before + 1) << "one handle per started thread";
        return after.empty() ? nullptr : after.back();
    }

    seams::ScopedReset m_reset;
};

// The routine's result is the exit code; what it throws is logged; a failed creation is thrown and
// records nothing; a failed priority is logged and the thread runs.
TEST_F(SchedulerTest, RoutineResultsThrowsAndFailedCalls) {
    EXPECT_EQ(ExitCode(Start(ReturnsFive, -1)), 5u);
    for (XThreadTaskRoutine routine : kThrowing) {
        HANDLE thread = Start(routine, -1);
        EXPECT_EQ(ExitCode(thread), 0xFFFFFFFFu);
        const std::list<void*> registry = RegistryCopy();
        EXPECT_EQ(std::count(registry.begin(), registry.end(), thread), 1)
            << "an ended thread stays recorded";
    }
    const std::wstring run = L"XEmergencyHandlerThreadScheduler::RunThreadTask";
    EXPECT_EQ(TakeEntries(),
              (std::vector<Entry>{{XVQLogEntry::Kind::StdException, 212, L"routine failed", run},
                                  {XVQLogEntry::Kind::Exception, 3, L"wrapped", L"g"},
                                  {XVQLogEntry::Kind::Unknown, 216, L"unknown exception", run}}));
    EXPECT_EQ(XEmergencyHandlerThreadScheduler::RunThreadTask(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(TakeEntries(),
              (std::vector<Entry>{{XVQLogEntry::Kind::Line, 194,
                                   L"thread param == NULL - cannot run thread task routine", run}}));
    for (seams::Operation op : {seams::Operation::CreateThread, seams::Operation::SetThreadPriority}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's thread calls cannot fail on demand here";
        }
    }
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
    EXPECT_TRUE(TakeEntries().empty()) << "a negative priority makes no call";
    EXPECT_EQ(ExitCode(Start(ReturnsFive, 0)), 5u) << "priority 0 is set, fails, and the thread runs";
    EXPECT_EQ(TakeEntries(),
              (std::vector<Entry>{{XVQLogEntry::Kind::ApiError, 243, L"SetThreadPriority failed.",
                                   L"XEmergencyHandlerThreadScheduler::StartThread"}}));
}

// The handle is recorded before the thread runs: a registry that cannot take it ends the thread
// before it has begun, so a StartThread that throws leaves nothing running.
TEST_F(SchedulerTest, AThreadThatCannotBeRecordedNeverRuns) {
    if (!seams::FaultInjectionSupported(seams::Operation::CritSecEnter)) {
        GTEST_SKIP() << "the registry's lock cannot fail on demand here";
    }
    static std::atomic<int> runs{0};
    const XThreadTaskRoutine counting = [](void*) -> unsigned { return static_cast<unsigned>(++runs); };
    const std::size_t before = RegistryCopy().size();
    seams::FailNext(seams::Operation::CritSecEnter, 1, E_ACCESSDENIED);
    EXPECT_ANY_THROW(XEmergencyHandlerThreadScheduler::StartThread(counting, nullptr, -1));
    EXPECT_EQ(RegistryCopy().size(), before);
    // A thread started after it has run to its end; one left running behind the error ran first.
    EXPECT_EQ(ExitCode(Start(counting, -1)), 1u);
    EXPECT_EQ(runs.load(), 1);
}

TEST_F(SchedulerTest, TerminateRegisteredThreadsClosesEveryHandleAndEmptiesTheRegistry) {
    HANDLE thread = Start(ReturnsFive, -1);
    EXPECT_EQ(ExitCode(thread), 5u);
#if defined(_WIN32)
    // Terminating would really kill threads that other tests of this program still rely on.
    for (void* other : RegistryCopy()) {
        if (other != nullptr && WaitForSingleObject(other, 0) != WAIT_OBJECT_0) {
            GTEST_SKIP() << "a registered thread still runs";
        }
    }
#endif
    XStateHandlerInstance::TerminateRegisteredThreads();
    EXPECT_TRUE(RegistryCopy().empty());
    XStateHandlerInstance::TerminateRegisteredThreads();
    EXPECT_TRUE(RegistryCopy().empty()) << "an empty registry stays empty";
#if !defined(_WIN32)
    EXPECT_FALSE(CloseHandle(thread)) << "closed by the termination; never reused here";
#endif
}

}  // namespace

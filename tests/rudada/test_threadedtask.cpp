#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Rudada64/XThreadedTask.h"
#include "components/test_error_support.h"
#include "platform/test_helpers.h"
#include "seams/PlatformSeams.h"

namespace {

struct Owner {};

// Runs each task thread's routine on a thread of its own, whose result stands for the exit code;
// refuses while `refuse` is set, and only records the routine while `recordOnly` is set.
struct TestScheduler {
    static void StartThread(XThreadTaskRoutine routine, void* param, int /*priority*/) {
        ++calls;
        if (refuse) {
            throw std::runtime_error("no thread for you");
        }
        recorded = [routine, param] { return routine(param); };
        if (!recordOnly) {
            threads.push_back(std::async(std::launch::async, recorded));
        }
    }
    static inline int calls = 0;
    static inline bool refuse = false;
    static inline bool recordOnly = false;
    static inline std::function<unsigned()> recorded;
    static inline std::vector<std::future<unsigned>> threads;
};

using Task = XThreadedTask<Owner, XThreadedTaskTraits::XThreadSchedulerTraits<TestScheduler>>;

class TestTask : public Task {
  public:
    using Body = std::function<DWORD(TestTask&, Owner*)>;
    explicit TestTask(Body body) : Task(-1), m_body(std::move(body)) {}
    ~TestTask() override { Stop(); }
    DWORD Execute(Owner* p) override { return m_body(*this, p); }

    ProceedStatus Status() { return m_ProceedStatus.Read(); }
    // Whether the completion and the termination event are signalled.
    bool Ended() {
        return Signalled(m_hTaskCompletionEvent.get()) && Signalled(m_hTaskTerminationEvent.get());
    }
    static bool Signalled(HANDLE event) {
        return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    }
    using Task::m_hTaskCompletionEvent;
    using Task::m_hTaskStartEvent;
    using Task::m_pOwner;

  private:
    Body m_body;
};

// Has no members of its own, so the base destructor may stop it once its body runs.
class PollingTask : public Task {
  public:
    PollingTask() : Task(-1) {}
    DWORD Execute(Owner* /*p*/) override {
        s_entered = true;
        while (!IsStopRequested()) {
            std::this_thread::yield();
        }
        return 3;
    }
    static inline std::atomic<bool> s_entered{false};
    using Task::m_hTaskCompletionEvent;
    using Task::m_hTaskStartEvent;
};

class ThreadedTaskTest : public vqtest::LogBookTest {
  protected:
    void SetUp() override {
        LogBookTest::SetUp();
        TestScheduler::calls = 0;
        TestScheduler::refuse = TestScheduler::recordOnly = false;
    }
    void TearDown() override {
        TestScheduler::threads.clear();
        LogBookTest::TearDown();
    }
    static unsigned ExitCode(std::size_t i = 0) { return TestScheduler::threads.at(i).get(); }

    Owner m_owner;
};

TEST_F(ThreadedTaskTest, BodyRunsOnceWithTheOwnerAndItsResultIsTheExitCode) {
    Owner* seen = nullptr;
    TestTask task([&](TestTask&, Owner* p) -> DWORD {
        seen = p;
        return 7;
    });
    EXPECT_EQ(task.Status(), Task::NotStarted);
    task.Start(&m_owner);
    EXPECT_EQ(ExitCode(), 7u);
    EXPECT_EQ(seen, &m_owner);
    EXPECT_EQ(task.Status(), Task::Stopped);
    EXPECT_TRUE(task.Ended() && TestTask::Signalled(task.m_hTaskStartEvent.get()));
    EXPECT_TRUE(task.GetTaskException().IsEmpty());
    Owner other;
    task.Start(&other);
    EXPECT_EQ(TestScheduler::calls, 1) << "a task runs once";
    EXPECT_EQ(task.m_pOwner, &m_owner);
}

TEST_F(ThreadedTaskTest, AThrowingBodyEndsStoppedWithItsErrorStored) {
    const XWrappedVQException wrapped =
        CreateExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_ACCESSDENIED, XVQEXCEP::VQ_SEVERITY_ERROR,
                            VQErrorLocation("here", 1, VQModuleName(), XVQComBSTR(L"f")), L"wrapped", L"", 1);
    TestTask standard([](TestTask&, Owner*) -> DWORD { throw std::runtime_error("body failed"); });
    TestTask own([&](TestTask&, Owner*) -> DWORD { throw wrapped; });
    TestTask other([](TestTask&, Owner*) -> DWORD { throw 5; });
    TestTask* const tasks[] = {&standard, &own, &other};
    for (std::size_t i = 0; i < 3; ++i) {
        tasks[i]->Start(&m_owner);
        EXPECT_EQ(ExitCode(i), 0u);
        EXPECT_EQ(tasks[i]->Status(), Task::Stopped);
        EXPECT_TRUE(tasks[i]->Ended());
        ASSERT_FALSE(tasks[i]->GetTaskException().IsEmpty());
    }
    const XWrappedVQException stored = standard.GetTaskException();
    EXPECT_EQ(std::make_tuple(stored->Message().ToWString(), stored->Severity(), stored->Location().Line()),
              std::make_tuple(std::wstring(L"body failed"), 8, 425u));
    EXPECT_EQ(own.GetTaskException().Get(), wrapped.Get()) << "stored as it was thrown";
    EXPECT_EQ(other.GetTaskException()->Location().Line(), 429u);
    EXPECT_TRUE(XVQLogBook::Entries().empty()) << "stored, not logged";
}

// Stop waits with XThreadSync::WaitForEvent, which takes the stopper's messages off its queue.
TEST_F(ThreadedTaskTest, StopWaitsForAPollingTaskWhileTakingTheStoppersMessages) {
    vqtest::DrainQueue();
    TestTask polling([](TestTask& self, Owner*) -> DWORD {
        while (!self.IsStopRequested()) {
            std::this_thread::yield();
        }
        return 0;
    });
    polling.Start(&m_owner);
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
    polling.Stop();
    EXPECT_EQ(polling.Status(), Task::Stopped);
    EXPECT_TRUE(polling.Ended());
    EXPECT_FALSE(vqtest::DrainQueue()) << "Stop waited without taking messages";
    polling.Stop();
    EXPECT_TRUE(polling.Ended()) << "a second Stop only waits for the end";
}

TEST_F(ThreadedTaskTest, FailedThreadCreationLeavesTheTaskNotStartedForAnotherTry) {
    TestTask task([](TestTask&, Owner*) -> DWORD { return 4; });
    TestScheduler::refuse = true;
    EXPECT_THROW(task.Start(&m_owner), std::runtime_error);
    EXPECT_EQ(task.Status(), Task::NotStarted);
    task.Stop();
    EXPECT_FALSE(task.IsStopRequested()) << "a task never started is not stopped";
    TestScheduler::refuse = false;
    TestScheduler::recordOnly = true;
    task.Start(&m_owner);
    EXPECT_EQ(task.Status(), Task::Running);
    task.m_hTaskCompletionEvent.reset();  // as a derived class may; the task thread makes another
    EXPECT_EQ(Fields(Caught([&] { task.Stop(); })),
              vqtest::ExcepFields(2, static_cast<HRESULT>(0x80004005), 11,
                                  L"no task completion event created", 2, 528));
    task.Start(&m_owner);
    EXPECT_EQ(TestScheduler::calls, 2) << "a running task is not started again";
    task.WaitForTermination();  // returns at once: the task thread has not begun
    EXPECT_EQ(TestScheduler::recorded(), 4u);
    EXPECT_TRUE(task.Ended());
}

TEST_F(ThreadedTaskTest, TheDestructorStopsARunningTaskFirst) {
    PollingTask::s_entered = false;
    auto task = std::make_unique<PollingTask>();
    task->Start(&m_owner);
    // Before the body is entered, destroying the derived part would leave the thread no body to run.
    while (!PollingTask::s_entered.load()) {
        std::this_thread::yield();
    }
    task.reset();
    EXPECT_EQ(ExitCode(), 3u);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

// A task thread that did not stop may still signal the events, so a destructor whose Stop fails
// logs the error and leaves them open.
TEST_F(ThreadedTaskTest, ADestructorWhoseStopFailsLeavesTheEventsOpen) {
    TestScheduler::recordOnly = true;  // Running, with a thread that never comes
    auto task = std::make_unique<PollingTask>();
    task->Start(&m_owner);
    const HANDLE events[] = {task->m_hTaskStartEvent.get(), task->m_hTaskCompletionEvent.get()};
    vqtest::seams::FailNext(vqtest::seams::Operation::Wait, 1, ERROR_INVALID_HANDLE);
    task.reset();
    const auto log = XVQLogBook::Entries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(std::make_tuple(log[0].line, log[0].message),
              std::make_tuple(68u, std::wstring(L"wait for signaled event failed")));
    for (const HANDLE event : events) {
        EXPECT_TRUE(CloseHandle(event)) << "left open";
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Rudada64/XThreadedTask.h"
#include "platform/test_messages_window.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;
using vqtest::WindowCallback;

constexpr DWORD kSafetyTimeout = 5000;
const wchar_t* const kExecuteName = L"XThreadedTask<owner, ThreadSchedulerTraits>::_Execute(owner* p)";

struct Owner {};

// What the test scheduler was asked, and whether it starts a real thread, only records the request
// (the test then runs the routine itself), or refuses.
struct SchedulerScript {
    bool startThreads = true;
    bool refuse = false;
    int calls = 0;
    int priority = 0;
    XThreadTaskRoutine routine = nullptr;
    void* param = nullptr;
    std::vector<HANDLE> threads;
};
SchedulerScript* g_script = nullptr;

unsigned WINAPI RunScripted(void* /*unused*/) {
    return g_script->routine(g_script->param);
}

struct TestScheduler {
    static void StartThread(XThreadTaskRoutine routine, void* param, int priority) {
        ++g_script->calls;
        g_script->priority = priority;
        g_script->routine = routine;
        g_script->param = param;
        if (g_script->refuse) {
            throw std::runtime_error("no thread for you");
        }
        if (g_script->startThreads) {
            g_script->threads.push_back(
                reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunScripted, nullptr, 0, nullptr)));
        }
    }
};

using Task = XThreadedTask<Owner, XThreadedTaskTraits::XThreadSchedulerTraits<TestScheduler>>;

class TestTask : public Task {
  public:
    using Body = std::function<DWORD(TestTask&, Owner*)>;
    explicit TestTask(Body body) : Task(-1), m_body(std::move(body)) {}
    ~TestTask() override { Stop(); }

    DWORD Execute(Owner* p) override { return m_body(*this, p); }

    ProceedStatus Status() { return m_ProceedStatus.Read(); }
    using Task::m_hTaskCompletionEvent;
    using Task::m_hTaskStartEvent;
    using Task::m_hTaskTerminationEvent;
    using Task::m_nAutoDelete;
    using Task::m_pOwner;

  private:
    Body m_body;
};

// Keeps nothing of its own, so the base destructor may stop it once its body runs.
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
};

bool Signalled(HANDLE event) {
    return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

class ThreadedTaskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_script = &m_script;
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
    }
    void TearDown() override {
        for (HANDLE thread : m_script.threads) {
            WaitForSingleObject(thread, kSafetyTimeout);
            CloseHandle(thread);
        }
        g_script = nullptr;
    }
    DWORD ExitCode() {
        HANDLE thread = m_script.threads.at(0);
        EXPECT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
        DWORD code = 0xDEAD;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        return code;
    }
    // Runs the task thread's routine on this thread, as the scheduler would have on a new one.
    unsigned RunRoutine() { return m_script.routine(m_script.param); }

    seams::ScopedReset m_reset;
    SchedulerScript m_script;
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
    EXPECT_EQ(m_script.priority, -1);
    EXPECT_EQ(task.Status(), Task::Stopped);
    EXPECT_TRUE(Signalled(task.m_hTaskStartEvent));
    EXPECT_TRUE(Signalled(task.m_hTaskCompletionEvent));
    EXPECT_TRUE(Signalled(task.m_hTaskTerminationEvent.load()));
    EXPECT_TRUE(task.GetTaskException().IsEmpty());

    Owner other;
    task.Start(&other);
    EXPECT_EQ(m_script.calls, 1) << "a task runs once";
    EXPECT_EQ(task.m_pOwner, &m_owner);
}

TEST_F(ThreadedTaskTest, ThrowingBodyIsStoppedWithTheErrorStoredAndExitCodeZero) {
    TestTask task([](TestTask&, Owner*) -> DWORD { throw std::runtime_error("body failed"); });
    task.Start(&m_owner);
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(task.Status(), Task::Stopped);
    EXPECT_TRUE(Signalled(task.m_hTaskCompletionEvent));
    EXPECT_TRUE(Signalled(task.m_hTaskTerminationEvent.load()));
    const XWrappedVQException stored = task.GetTaskException();
    ASSERT_FALSE(stored.IsEmpty());
    EXPECT_EQ(stored->Message().ToWString(), L"body failed");
    EXPECT_EQ(stored->Severity(), XVQEXCEP::SEVERITY_SEVERE);
    EXPECT_EQ(stored->Location().File(), "Rudada64/XThreadedTask.h");
    EXPECT_EQ(stored->Location().Line(), 425u);
    EXPECT_EQ(stored->Location().Function().ToWString(), kExecuteName);
    EXPECT_TRUE(XVQLogBook::Entries().empty()) << "stored, not logged";

    m_script.startThreads = false;
    XWrappedVQException wrapped;
    try {
        ThrowExcepIfFailed(XVQEXCEP::TYPE_MODULE, E_ACCESSDENIED, XVQEXCEP::SEVERITY_ERROR,
                           VQErrorLocation("here", 1, VQModuleName(), XVQComBSTR(L"f")), L"wrapped", L"", 1);
    } catch (XWrappedVQException& e) {
        wrapped = e;
    }
    TestTask throwsWrapped([&](TestTask&, Owner*) -> DWORD { throw wrapped; });
    throwsWrapped.Start(&m_owner);
    EXPECT_EQ(RunRoutine(), 0u);
    EXPECT_EQ(throwsWrapped.GetTaskException().Get(), wrapped.Get()) << "stored as it was thrown";
    TestTask throwsInt([](TestTask&, Owner*) -> DWORD { throw 5; });
    throwsInt.Start(&m_owner);
    EXPECT_EQ(RunRoutine(), 0u);
    ASSERT_FALSE(throwsInt.GetTaskException().IsEmpty());
    EXPECT_EQ(throwsInt.GetTaskException()->Location().Line(), 429u);
}

TEST_F(ThreadedTaskTest, StopRequestsAndWaitsWhileDispatchingTheStoppersMessages) {
    TestTask task([](TestTask&, Owner*) -> DWORD { return 0; });
    task.Stop();
    EXPECT_FALSE(task.IsStopRequested()) << "a task never started is not stopped";

    vqtest::MessageWindow window;
    std::atomic<DWORD> ranOn{0};
    WindowCallback mark = [&] { ranOn = GetCurrentThreadId(); };
    TestTask polling([&](TestTask& self, Owner*) -> DWORD {
        while (!self.IsStopRequested()) {
            std::this_thread::yield();
        }
        // Only a stopper that pumps its messages lets the body end early.
        PostMessageW(window.Handle(), vqtest::kRunMessage, reinterpret_cast<WPARAM>(&mark), 0);
        for (int i = 0; i < 5000 && ranOn.load() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    });
    polling.Start(&m_owner);
    polling.Stop();
    EXPECT_EQ(polling.Status(), Task::Stopped);
    EXPECT_TRUE(Signalled(polling.m_hTaskTerminationEvent.load()));
    EXPECT_EQ(ranOn.load(), GetCurrentThreadId());
    polling.Stop();
    EXPECT_TRUE(Signalled(polling.m_hTaskTerminationEvent.load())) << "a second Stop only waits for the end";
}

TEST_F(ThreadedTaskTest, FailedThreadCreationLeavesTheTaskNotStartedForAnotherTry) {
    TestTask task([](TestTask&, Owner*) -> DWORD { return 4; });
    m_script.refuse = true;
    EXPECT_THROW(task.Start(&m_owner), std::runtime_error);
    EXPECT_EQ(task.Status(), Task::NotStarted);
    EXPECT_NE(task.m_hTaskCompletionEvent, nullptr);
    task.Stop();
    EXPECT_FALSE(task.IsStopRequested());
    m_script.refuse = false;
    task.Start(&m_owner);
    EXPECT_EQ(ExitCode(), 4u);
}

TEST_F(ThreadedTaskTest, WaitForTerminationReturnsAtOnceBeforeTheThreadBegins) {
    m_script.startThreads = false;
    TestTask task([](TestTask&, Owner*) -> DWORD { return 2; });
    task.Start(&m_owner);
    EXPECT_EQ(task.Status(), Task::Running);
    task.WaitForTermination();
    EXPECT_EQ(task.m_hTaskTerminationEvent.load(), nullptr);
    EXPECT_EQ(RunRoutine(), 2u);
    EXPECT_TRUE(Signalled(task.m_hTaskTerminationEvent.load()));
}

TEST_F(ThreadedTaskTest, DestroyingARunningTaskStopsItFirst) {
    PollingTask::s_entered = false;
    auto* task = new PollingTask;
    task->Start(&m_owner);
    // Before the body is entered, destroying the derived part would leave the thread no body to run.
    while (!PollingTask::s_entered.load()) {
        std::this_thread::yield();
    }
    delete task;
    EXPECT_EQ(ExitCode(), 3u);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(ThreadedTaskTest, AutoDeleteAndCopyPrototype) {
    class SelfDeleting : public TestTask {
      public:
        explicit SelfDeleting(bool* destroyed)
            : TestTask([](TestTask&, Owner*) -> DWORD { return 6; }), m_destroyed(destroyed) {}
        ~SelfDeleting() override { *m_destroyed = true; }

      private:
        bool* m_destroyed;
    };
    m_script.startThreads = false;
    bool destroyed = false;
    auto* task = new SelfDeleting(&destroyed);
    task->m_nAutoDelete = 1;
    task->Start(&m_owner);
    EXPECT_EQ(RunRoutine(), 6u);
    EXPECT_TRUE(destroyed) << "the task thread destroyed the task";

    TestTask prototype([](TestTask&, Owner*) -> DWORD { return 0; });
    TestTask copy([](TestTask&, Owner*) -> DWORD { return 0; });
    const HANDLE own = copy.m_hTaskStartEvent;
    EXPECT_EQ(&copy.CopyPrototype(prototype), &copy);
    EXPECT_NE(copy.m_hTaskStartEvent, own);
    EXPECT_NE(copy.m_hTaskStartEvent, nullptr);
    CloseHandle(own);
}

TEST_F(ThreadedTaskTest, FailedSignalsAreStoredAndTheThreadStillEnds) {
    if (!seams::FaultInjectionSupported(seams::Operation::SetEvent)) {
        GTEST_SKIP() << "SetEvent cannot fail on demand here";
    }
    m_script.startThreads = false;
    TestTask startFails([](TestTask&, Owner*) -> DWORD { return 7; });
    startFails.Start(&m_owner);
    seams::FailNext(seams::Operation::SetEvent, 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(RunRoutine(), 7u) << "the body runs anyway";
    XWrappedVQException stored = startFails.GetTaskException();
    ASSERT_FALSE(stored.IsEmpty());
    EXPECT_EQ(stored->Message().ToWString(), L"SetEvent failed");
    EXPECT_EQ(stored->HResult(), E_FAIL);
    EXPECT_EQ(stored->Severity(), XVQEXCEP::SEVERITY_CRITICAL);
    EXPECT_EQ(stored->Location().Line(), 414u);

    TestTask completionFails([](TestTask&, Owner*) -> DWORD {
        seams::FailNext(seams::Operation::SetEvent, 1, ERROR_INVALID_HANDLE);
        return 1;
    });
    completionFails.Start(&m_owner);
    EXPECT_EQ(RunRoutine(), 1u);
    stored = completionFails.GetTaskException();
    ASSERT_FALSE(stored.IsEmpty());
    EXPECT_EQ(stored->Location().Line(), 308u);
    EXPECT_EQ(stored->Location().Function().ToWString(), L"XThreadedTask::SetTaskStopped()");
    EXPECT_EQ(completionFails.Status(), Task::Stopped);
    EXPECT_TRUE(Signalled(completionFails.m_hTaskTerminationEvent.load()));
}

TEST_F(ThreadedTaskTest, ConstructorThrowsAndDestructorLogsEventFailures) {
    for (seams::Operation op : {seams::Operation::CreateEvent, seams::Operation::Wait}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's event calls cannot fail on demand here";
        }
    }
    seams::FailNext(seams::Operation::CreateEvent, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_THROW(PollingTask(), XWrappedVQException);

    m_script.startThreads = false;
    auto task = std::make_unique<PollingTask>();
    task->Start(&m_owner);
    seams::FailNext(seams::Operation::Wait, 1, ERROR_INVALID_HANDLE);
    EXPECT_NO_THROW(task.reset());
    const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, L"wait for signaled event failed");
    EXPECT_EQ(entries[0].file, "Rudada64/XThreadSync.h");
}

}  // namespace

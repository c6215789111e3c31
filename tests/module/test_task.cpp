// The worker task on short cycle intervals (milliseconds instead of seconds), on instances that are
// not the process-wide one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/Gate.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"
#include "vqplatform/testing.h"
#include "xemergencyhandlerinstance.h"
#include "xemergencyhandlertask.h"

namespace vqtest {
namespace {

using namespace std::chrono_literals;
using vqplatform::testing::Operation;

constexpr DWORD kMilliseconds = 1;

std::size_t Count(const TestAgent& agent, AgentMethod method) {
    std::size_t n = 0;
    for (const AgentCall& call : agent.Calls()) {
        n += call.method == method ? 1 : 0;
    }
    return n;
}

std::size_t Count(const std::vector<HandlerEvent>& events, HandlerSlot slot, DWORD first) {
    std::size_t n = 0;
    for (const HandlerEvent& e : events) {
        n += (e.slot == slot && e.first == first) ? 1 : 0;
    }
    return n;
}

// Opens `gate` at the agent's `n`-th poll.
void OpenAtPoll(TestAgent& agent, std::size_t n, Gate& gate) {
    auto polls = std::make_shared<std::atomic<std::size_t>>(0);
    agent.SetCallHook([polls, n, &gate](const AgentCall& call) {
        if (call.method == AgentMethod::GetServerEmergencyState && ++*polls == n) {
            gate.Open();
        }
    });
}

class TaskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
        XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Reset();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_instance.Init();
    }
    void TearDown() override {
        if (m_task) {
            m_task->SetTerminationEvent();
            m_task.reset();  // stops and waits for the thread
        }
        m_instance.ReleaseGIT();
        CoUninitialize();
        XVQLogBook::Clear();
    }

    void Register(TestAgent* agent, std::initializer_list<RecordingHandler*> handlers) {
        for (RecordingHandler* handler : handlers) {
            m_instance.AddHandler(handler, agent->AsAgent());
        }
    }
    void Start(DWORD interval, XEmergencyHandlerInstance* owner) {
        m_task = std::make_unique<XEmergencyHandlerTask>(interval, kMilliseconds);
        m_task->Start(owner);
    }
    void Start(DWORD interval) { Start(interval, &m_instance); }
    // Ends a worker that goes on cycling and joins its thread.
    void Terminate() {
        m_task->SetTerminationEvent();
        m_task->Stop();
        EXPECT_TRUE(m_task->GetTaskException().IsEmpty());
    }

    vqplatform::testing::ScopedReset m_seams;
    XEmergencyHandlerInstance m_instance{[](XEmergencyHandlerInstance&) {}};
    std::unique_ptr<XEmergencyHandlerTask> m_task;
    Journal m_journal;
};

TEST_F(TaskTest, FirstCycleComesAfterOneFullIntervalAndCyclesRepeat) {
    auto agent = TestAgent::Create();
    agent->State().SetDefault({S_OK, 4});
    RecordingHandler handler(m_journal);
    Register(agent, {&handler});
    Gate thirdPoll;
    OpenAtPoll(*agent, 3, thirdPoll);
    const auto started = std::chrono::steady_clock::now();
    Start(200);
    ASSERT_TRUE(m_journal.WaitForCount(1, 30s));
    // A lower bound only, so that load cannot break it; half, since a timed wait may end a timer
    // tick early.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms) << "polled before the first interval";
    const auto events = m_journal.Events();
    EXPECT_EQ(std::make_tuple(events[0].slot, events[0].first, events[0].second),
              std::make_tuple(HandlerSlot::ServerEmergencyState, 4u, 1u));
    EXPECT_NE(events[0].threadId, GetCurrentThreadId()) << "callbacks run on the worker";
    ASSERT_TRUE(thirdPoll.Wait());
    EXPECT_EQ(m_journal.Count(), 1u) << "the same state again is no change";
    Terminate();
}

TEST_F(TaskTest, TerminationDuringACycleLetsTheCycleFinish) {
    auto agent = TestAgent::Create();
    agent->State().SetDefault({S_OK, 1});
    agent->Configuration().SetDefault({S_OK, 1, 1});
    Gate inCycle;
    Gate goOn;
    agent->SetCallHook([&](const AgentCall& call) {
        if (call.method == AgentMethod::GetServerEmergencyState) {
            inCycle.Open();
            goOn.Wait();
        }
    });
    RecordingHandler handler(m_journal);
    Register(agent, {&handler});
    Start(20);
    ASSERT_TRUE(inCycle.Wait());
    m_task->SetTerminationEvent();
    goOn.Open();
    m_task->Stop();
    EXPECT_EQ(Count(*agent, AgentMethod::GetServerEmergencyState), 1u) << "a second cycle ran";
    EXPECT_EQ(Count(*agent, AgentMethod::RequestClientEmergencyFailover), 1u) << "the failover pass was cut";
    const auto events = m_journal.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].slot, HandlerSlot::ClientEmergencyFailover);
}

// Interval 0 waits for the termination event only: while a worker of 1 ms on the same instance
// cycles five times, every poll comes from that one.
TEST_F(TaskTest, IntervalZeroWaitsForTheEventOnly) {
    auto agent = TestAgent::Create();
    RecordingHandler handler(m_journal);
    Register(agent, {&handler});
    Gate fifthPoll;
    OpenAtPoll(*agent, 5, fifthPoll);
    Start(0);
    XEmergencyHandlerTask ticking(1, kMilliseconds);
    ticking.Start(&m_instance);
    ASSERT_TRUE(fifthPoll.Wait());
    ticking.SetTerminationEvent();
    ticking.Stop();
    Terminate();
    std::set<DWORD> pollingThreads;
    for (const AgentCall& call : agent->Calls()) {
        pollingThreads.insert(call.threadId);
    }
    EXPECT_EQ(pollingThreads.size(), 1u);
}

// The worker's errors: the first cycle's table lookup, COM initialisation and a null owner each end
// the worker with the error stored; all but the null owner tell every handler kind 3.
TEST_F(TaskTest, AnErrorOutOfTheFirstCycleEndsTheWorkerWithKindThreeToEveryHandler) {
    if (!vqplatform::testing::FaultInjectionSupported(Operation::GitGet)) {
        GTEST_SKIP() << "needs fault injection of the Global Interface Table lookup";
    }
    auto first = TestAgent::Create();
    auto second = TestAgent::Create();
    RecordingHandler a(m_journal);
    RecordingHandler b(m_journal);
    Register(first, {&a, &b});
    Register(second, {&a, &b});
    vqplatform::testing::FailNext(Operation::GitGet, 1, static_cast<DWORD>(E_UNEXPECTED));
    Start(10);
    ASSERT_TRUE(m_journal.WaitForCount(4, 30s));
    m_task->Stop();
    EXPECT_EQ(Count(a.Events(), HandlerSlot::AgentError, 3), 2u) << "once per registration";
    EXPECT_EQ(Count(b.Events(), HandlerSlot::AgentError, 3), 2u);
    EXPECT_EQ(m_journal.Count(), 4u);
    const auto entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].hr, E_UNEXPECTED);
    EXPECT_EQ(m_task->GetTaskException()->HResult(), E_UNEXPECTED);
    EXPECT_EQ(Count(*first, AgentMethod::GetServerEmergencyState), 0u);
}

TEST_F(TaskTest, FailingComInitialisationEndsTheWorkerBeforeAnyCycle) {
    if (!vqplatform::testing::FaultInjectionSupported(Operation::CoInitialize)) {
        GTEST_SKIP() << "needs fault injection of COM initialisation";
    }
    auto agent = TestAgent::Create();
    RecordingHandler handler(m_journal);
    Register(agent, {&handler});
    vqplatform::testing::FailNext(Operation::CoInitialize, 1, static_cast<DWORD>(RPC_E_CHANGED_MODE));
    Start(10);
    m_task->Stop();  // the body fails before it first asks whether to stop
    ASSERT_EQ(m_journal.Count(), 1u);
    EXPECT_EQ(std::make_tuple(m_journal.Events()[0].slot, m_journal.Events()[0].first),
              std::make_tuple(HandlerSlot::AgentError, 3u));
    const auto entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::make_tuple(entries[0].file, entries[0].line, entries[0].hr, entries[0].message),
              std::make_tuple(std::string(".\\xemergencyhandlerinstance"), 886u, RPC_E_CHANGED_MODE,
                              std::wstring(L"CoInitializeEx for emergency agent service thread failed")));
    EXPECT_TRUE(agent->Calls().empty());
}

TEST_F(TaskTest, NullOwnerIsStoredAndDispatchesNothing) {
    RecordingHandler handler(m_journal);
    auto agent = TestAgent::Create();
    Register(agent, {&handler});
    Start(10, nullptr);
    m_task->Stop();  // the body fails before it first asks whether to stop
    const XWrappedVQException stored = m_task->GetTaskException();
    ASSERT_FALSE(stored.IsEmpty());
    EXPECT_EQ(
        std::make_tuple(stored->Location().Line(), std::wstring(stored->Location().Function())),
        std::make_tuple(
            877u, std::wstring(L"XEmergencyHandlerTask::Execute(XEmergencyHandlerInstance* pInstance)")));
    EXPECT_EQ(m_journal.Count(), 0u);
}

// Faults on purpose (this file is built with -fnon-call-exceptions).
void Fault() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

class FaultingHandler : public RecordingHandler {
  public:
    using RecordingHandler::RecordingHandler;
    void OnServerEmergencyState(DWORD state, LONG mode) override {
        RecordingHandler::OnServerEmergencyState(state, mode);
        Fault();
    }
};

// The asan preset builds with UBSan too, which stops at the deliberate null store before it faults.
#if defined(__SANITIZE_ADDRESS__)
#define VQ_SKIP_FAULT_TEST() GTEST_SKIP() << "UBSan stops at the deliberate null store"
#else
#define VQ_SKIP_FAULT_TEST() (void)0
#endif

// A callback runs inside the pass's collecting ladder: its fault is collected like any other error
// of a callback, the next handler is called and the worker goes on.
TEST_F(TaskTest, AFaultInACallbackIsCollectedAndTheWorkerGoesOn) {
    VQ_SKIP_FAULT_TEST();
    auto agent = TestAgent::Create();
    agent->State().SetDefault({S_OK, 2});
    FaultingHandler faulting(m_journal);
    RecordingHandler other(m_journal);
    Register(agent, {&faulting, &other});
    Gate thirdPoll;
    OpenAtPoll(*agent, 3, thirdPoll);
    Start(10);
    ASSERT_TRUE(thirdPoll.Wait()) << "the worker stopped polling";
    Terminate();
    EXPECT_EQ(m_journal.Count(), 2u);
    const auto collected = m_instance.ExceptionLogger().Read().Errors();
    ASSERT_EQ(collected.size(), 1u);
    EXPECT_EQ(static_cast<DWORD>(collected[0]->HResult()), 0xC0000005u);
}

// An agent call is not guarded inside the pass: a fault there ends the worker, every handler hears
// kind 3, and the registry lock the pass held is free again.
TEST_F(TaskTest, AFaultInAnAgentCallEndsTheWorkerAndFreesTheRegistry) {
    VQ_SKIP_FAULT_TEST();
    auto faulty = TestAgent::Create();
    auto healthy = TestAgent::Create();
    faulty->SetCallHook([](const AgentCall& call) {
        if (call.method == AgentMethod::GetServerEmergencyState) {
            Fault();
        }
    });
    RecordingHandler first(m_journal);
    RecordingHandler second(m_journal);
    Register(faulty, {&first});
    Register(healthy, {&second});
    Start(10);
    ASSERT_TRUE(m_journal.WaitForCount(2, 30s));
    m_task->Stop();
    EXPECT_EQ(Count(first.Events(), HandlerSlot::AgentError, 3), 1u);
    EXPECT_EQ(Count(second.Events(), HandlerSlot::AgentError, 3), 1u);
    EXPECT_EQ(static_cast<DWORD>(m_task->GetTaskException()->HResult()), 0xC0000005u);
    RecordingHandler late(m_journal);
    std::thread client([&] { m_instance.AddHandler(&late, healthy->AsAgent()); });
    client.join();  // would hang if the fault had left the registry locked
    EXPECT_EQ(m_instance.Registry().Read().registrations.size(), 3u);
}

TEST(TeardownTest, DestroyInstanceStopsTheWorkerClearsTheRegistryAndMakesNoCallback) {
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    XEmergencyHandlerInstance* instance = XEmergencyHandlerInstance::InstanceIn(
        slot, [] { return new XEmergencyHandlerInstance([](XEmergencyHandlerInstance&) {}); });
    ASSERT_NE(instance, nullptr);
    auto agent = TestAgent::Create();
    agent->State().SetDefault({S_OK, 1});
    Journal journal;
    RecordingHandler handler(journal);
    instance->AddHandler(&handler, agent->AsAgent());
    const ULONG refsRegistered = agent->RefCount();

    XEmergencyHandlerInstance::DestroyInstanceIn(slot);
    EXPECT_EQ(slot.load(), nullptr);
    EXPECT_EQ(journal.Count(), 0u) << "the teardown called a handler";
    EXPECT_EQ(agent->RefCount(), refsRegistered) << "the teardown revokes no cookie";
    XEmergencyHandlerInstance::DestroyInstanceIn(slot);  // an empty slot: nothing happens
    CoUninitialize();
}

TEST(TeardownTest, StopTaskEndsARunningWorkerAndForgetsIt) {
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    XEmergencyHandlerInstance* instance =
        XEmergencyHandlerInstance::InstanceIn(slot, [] { return new XEmergencyHandlerInstance(); });
    ASSERT_NE(instance->Task(), nullptr) << "Init starts the worker";
    instance->StopTask();
    EXPECT_EQ(instance->Task(), nullptr);
    instance->StopTask();  // no task: nothing to do
    XEmergencyHandlerInstance::DestroyInstanceIn(slot);
}

}  // namespace
}  // namespace vqtest

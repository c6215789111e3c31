// The worker task on short cycle intervals (milliseconds instead of seconds), on instances that are
// not the process-wide one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "support/Gate.h"
#include "seams/PlatformSeams.h"
#include "support/ModuleTest.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"
#include "xemergencyhandlerinstance.h"
#include "xemergencyhandlertask.h"

namespace vqtest {
namespace {

using namespace std::chrono_literals;

class TaskTest : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        m_instance.Init();
    }
    void TearDown() override {
        if (m_task) {
            m_task->SetTerminationEvent();
            m_task.reset();  // stops and waits for the thread
        }
        m_instance.ReleaseGIT();
        ModuleTest::TearDown();
    }

    XEmergencyHandlerInstance m_instance{[](XEmergencyHandlerInstance&) {}};
    std::unique_ptr<XEmergencyHandlerTask> m_task;
    Journal m_journal;
};

// The first cycle comes after one full interval, on the worker; a termination during a cycle lets
// that cycle, failover pass included, finish.
TEST_F(TaskTest, TerminationDuringTheFirstCycleLetsTheCycleFinish) {
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
    m_instance.AddHandler(&handler, agent->AsAgent());
    const auto started = std::chrono::steady_clock::now();
    m_task = std::make_unique<XEmergencyHandlerTask>(200, 1);  // cycles 200 ms apart
    m_task->Start(&m_instance);
    ASSERT_TRUE(inCycle.Wait());
    // A lower bound only, so that load cannot break it; half, since a timed wait may end a timer
    // tick early.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms) << "polled before the first interval";
    m_task->SetTerminationEvent();
    goOn.Open();
    m_task->Stop();
    std::vector<AgentMethod> calls;
    for (const AgentCall& call : agent->Calls()) {
        calls.push_back(call.method);
    }
    // One cycle, failover pass included.
    EXPECT_EQ(calls, (std::vector<AgentMethod>{AgentMethod::GetServerEmergencyState,
                                               AgentMethod::GetEmergencyConfiguration,
                                               AgentMethod::RequestClientEmergencyFailover}));
    const auto events = m_journal.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(std::make_tuple(events[0].slot, events[0].first, events[0].second),
              std::make_tuple(HandlerSlot::ServerEmergencyState, 1u, 2u));
    EXPECT_NE(events[0].threadId, GetCurrentThreadId()) << "callbacks run on the worker";
    EXPECT_EQ(events[1].slot, HandlerSlot::ClientEmergencyFailover);
}

// A worker whose thread cannot join COM fails before its first wait: the error is logged and every
// handler hears kind 3.
TEST_F(TaskTest, AWorkerThatCannotJoinComFailsAtOnce) {
    auto agent = TestAgent::Create();
    RecordingHandler handler(m_journal);
    m_instance.AddHandler(&handler, agent->AsAgent());
    XEmergencyHandlerTask task(10, 1);
    std::thread([&] {
        seams::FailNext(seams::Operation::CoInitialize, 1, 0x80010106);  // RPC_E_CHANGED_MODE
        EXPECT_EQ(task.Execute(&m_instance), 0u);
    }).join();
    const auto log = XVQLogBook::Entries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(std::make_tuple(log[0].type, log[0].hr, log[0].severity, log[0].line, log[0].message),
              std::make_tuple(2, static_cast<HRESULT>(0x80010106), 3, 886u,
                              std::wstring(L"CoInitializeEx for emergency agent service thread failed")));
    const auto events = m_journal.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::make_tuple(events[0].slot, events[0].first), std::make_tuple(HandlerSlot::AgentError, 3u));
    EXPECT_TRUE(agent->Calls().empty());
}

// Faults on purpose (this file is built with -fnon-call-exceptions).
void Fault() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

// A fault in a callback is collected like any error of a callback, after the translator has
// reported it from ".\\stdafx" line 21; the other handler is called and the worker goes on.
TEST_F(TaskTest, AFaultInACallbackIsCollectedAndTheWorkerGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the asan preset's UBSan stops at the deliberate null store before it faults";
#endif
    struct FaultingHandler : RecordingHandler {
        using RecordingHandler::RecordingHandler;
        void OnServerEmergencyState(DWORD state, LONG mode) override {
            RecordingHandler::OnServerEmergencyState(state, mode);
            Fault();
        }
    };
    auto agent = TestAgent::Create();
    agent->State().SetDefault({S_OK, 2});
    Gate secondPoll;
    std::atomic<int> polls{0};
    agent->SetCallHook([&](const AgentCall& call) {
        if (call.method == AgentMethod::GetServerEmergencyState && ++polls == 2) {
            secondPoll.Open();
        }
    });
    FaultingHandler faulting(m_journal);
    RecordingHandler other(m_journal);
    m_instance.AddHandler(&faulting, agent->AsAgent());
    m_instance.AddHandler(&other, agent->AsAgent());
    m_task = std::make_unique<XEmergencyHandlerTask>(10, 1);
    m_task->Start(&m_instance);
    ASSERT_TRUE(secondPoll.Wait()) << "the pass stopped at the fault";
    m_task->SetTerminationEvent();
    m_task->Stop();
    agent->SetCallHook(nullptr);
    EXPECT_TRUE(m_task->GetTaskException().IsEmpty());
    EXPECT_EQ(m_journal.Count(), 2u) << "both handlers heard the state";
    const auto collected = m_instance.ExceptionLogger().Read().Errors();
    ASSERT_EQ(collected.size(), 1u);
    EXPECT_EQ(std::make_tuple(collected[0]->Type(), static_cast<DWORD>(collected[0]->HResult())),
              std::make_tuple(4, 0xC0000005u));
    const auto log = XVQLogBook::Entries();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::make_tuple(log[0].kind, log[0].file, log[0].line),
              std::make_tuple(XVQLogEntry::Kind::Structured, std::string(".\\stdafx"), 21u));
}

#if defined(_WIN32)
// A crash reporter's filter, installed without chaining to the one before: it ends the process.
LONG WINAPI HostFilter(EXCEPTION_POINTERS* /*pointers*/) {
    return EXCEPTION_EXECUTE_HANDLER;
}
#endif

// An agent call is not guarded inside the pass: a fault there ends the worker, every handler of
// every registration hears kind 3, and the registry lock the pass held is free again. A top-level
// exception filter that the host installs once the worker runs plays no part in it (Windows).
TEST_F(TaskTest, AFaultInAnAgentCallEndsTheWorkerAndFreesTheRegistry) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the asan preset's UBSan stops at the deliberate null store before it faults";
#endif
    auto faulty = TestAgent::Create();
    auto healthy = TestAgent::Create();
    Gate inCycle;
    Gate hostReady;
    faulty->SetCallHook([&](const AgentCall& call) {
        if (call.method == AgentMethod::GetServerEmergencyState) {
            inCycle.Open();
            hostReady.Wait();
            Fault();
        }
    });
    RecordingHandler first(m_journal);
    RecordingHandler second(m_journal);
    m_instance.AddHandler(&first, faulty->AsAgent());
    m_instance.AddHandler(&second, healthy->AsAgent());
    m_task = std::make_unique<XEmergencyHandlerTask>(10, 1);
    m_task->Start(&m_instance);
    ASSERT_TRUE(inCycle.Wait());
#if defined(_WIN32)
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(HostFilter);
#endif
    hostReady.Open();
    const bool heard = m_journal.WaitForCount(2, 30s);
#if defined(_WIN32)
    EXPECT_EQ(SetUnhandledExceptionFilter(previous), &HostFilter) << "the host's filter was replaced";
#endif
    ASSERT_TRUE(heard);
    m_task->Stop();
    for (const HandlerEvent& event : m_journal.Events()) {
        EXPECT_EQ(std::make_tuple(event.slot, event.first), std::make_tuple(HandlerSlot::AgentError, 3u));
    }
    EXPECT_EQ(first.Events().size(), 1u);
    EXPECT_EQ(second.Events().size(), 1u);
    EXPECT_EQ(static_cast<DWORD>(m_task->GetTaskException()->HResult()), 0xC0000005u);
    RecordingHandler late(m_journal);
    std::thread client([&] { m_instance.AddHandler(&late, healthy->AsAgent()); });
    client.join();  // would hang if the fault had left the registry locked
    EXPECT_EQ(m_instance.Registry().Read().registrations.size(), 3u);
}

}  // namespace
}  // namespace vqtest

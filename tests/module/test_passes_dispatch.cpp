// Agent error dispatch, the communication-failure predicate, the reports the passes collect, and
// how the passes hold the registry: locking across calls, a failed or empty agent lookup.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ScenarioRunner.h"

namespace vqtest::scenario {
namespace {

using vqplatform::testing::FailNext;
using vqplatform::testing::FaultInjectionSupported;
using vqplatform::testing::Operation;

constexpr const wchar_t* kStatePass = L"XEmergencyHandlerInstance::HandleServerEmergencyState";
constexpr const wchar_t* kFailoverPass = L"XEmergencyHandlerInstance::HandleClientEmergencyFailoverState";
constexpr const wchar_t* kDispatch = L"XEmergencyHandlerInstance::DispatchAgentError";
constexpr const wchar_t* kThrown = L"thrown by a recording handler";

constexpr HRESULT FromWin32(ULONG code) {
    return static_cast<HRESULT>(0x80070000 | code);
}

TEST(IsCommunicationFailure, DecidesByFacilityThenByCode) {
    struct Row {
        HRESULT hr;
        bool communication;
    };
    const Row rows[] = {
        // Success codes.
        {S_OK, false},
        {S_FALSE, false},
        {0x7FFFFFFF, false},
        // E_INVALIDARG is excepted though its code is 87; 87 of another facility counts.
        {kInvalidArg, false},
        {static_cast<HRESULT>(0x80000057), true},
        // Facility RPC counts whatever the code; facility 4 never does. Bits above the 13
        // facility bits do not change the facility.
        {static_cast<HRESULT>(0x80010000), true},
        {kRpcDisconnected, true},
        {static_cast<HRESULT>(0x8001FFFF), true},
        {static_cast<HRESULT>(0xA0010000), true},
        {static_cast<HRESULT>(0x800406BA), false},
        {static_cast<HRESULT>(0xE0040005), false},
        {static_cast<HRESULT>(0x80020005), true},
        {static_cast<HRESULT>(0x9FFF0005), true},
        // Single codes, each with its neighbours.
        {FromWin32(4), false},
        {FromWin32(5), true},
        {FromWin32(6), false},
        {FromWin32(13), false},
        {E_OUTOFMEMORY, true},  // code 14
        {FromWin32(15), false},
        {FromWin32(86), false},
        {FromWin32(88), false},
        {FromWin32(121), false},
        {FromWin32(122), true},
        {FromWin32(123), false},
        {FromWin32(163), false},
        {FromWin32(164), true},
        {FromWin32(165), false},
        {FromWin32(996), false},
        {FromWin32(997), true},
        {FromWin32(998), false},
        {FromWin32(1129), false},
        {FromWin32(1130), true},
        {FromWin32(1131), false},
        {FromWin32(1337), false},
        {FromWin32(1338), true},
        {FromWin32(1339), false},
        {FromWin32(1897), false},
        {FromWin32(1898), true},
        {FromWin32(1899), false},
        {FromWin32(1900), true},
        {FromWin32(1901), false},
        // The RPC ranges, bounds included.
        {FromWin32(1699), false},
        {FromWin32(1700), true},
        {kRpcServerUnavailable, true},  // 1722
        {FromWin32(1726), true},
        {FromWin32(1727), true},
        {FromWin32(1791), true},
        {FromWin32(1792), false},
        {FromWin32(1816), false},
        {FromWin32(1817), true},
        {FromWin32(1832), true},
        {FromWin32(1833), false},
        {FromWin32(1912), false},
        {FromWin32(1913), true},
        {FromWin32(1918), true},
        {FromWin32(1919), false},
        // Only the low 16 bits are the code.
        {FromWin32(0x16BA), false},
        {static_cast<HRESULT>(0x800A06BA), true},
        // Common failures that are not about the connection.
        {kFail, false},
        {E_POINTER, false},
        {E_NOINTERFACE, false},
        {E_UNEXPECTED, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(XEmergencyHandlerInstance::IsCommunicationFailure(row.hr), row.communication)
            << "hr 0x" << std::hex << static_cast<ULONG>(row.hr);
    }
}

// What a collected report must carry. Reports of the passes name the instance's source file.
struct ExpectedReport {
    XVQEXCEP::EXCEPTION_TYPE type;
    unsigned line;
    HRESULT hr;
    XVQEXCEP::ERROR_SEVERITY severity;
    const wchar_t* message;
    const wchar_t* function;
    const char* file = ".\\xemergencyhandlerinstance";
    const wchar_t* subsystem = L"VQProcessStateHandler";
};

void ExpectReports(const std::vector<XWrappedVQException>& reports,
                   const std::vector<ExpectedReport>& expected) {
    ASSERT_EQ(reports.size(), expected.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
        SCOPED_TRACE("report " + std::to_string(i + 1));
        const XWrappedVQException& report = reports[i];
        ASSERT_FALSE(report.IsEmpty());
        EXPECT_EQ(report->Type(), expected[i].type);
        EXPECT_EQ(report->Location().File(), expected[i].file);
        EXPECT_EQ(report->Location().Line(), expected[i].line);
        EXPECT_EQ(report->Location().Subsystem().ToWString(), expected[i].subsystem);
        EXPECT_EQ(report->Location().Function().ToWString(), expected[i].function);
        EXPECT_EQ(report->HResult(), expected[i].hr);
        EXPECT_EQ(report->Severity(), expected[i].severity);
        EXPECT_EQ(report->Message().ToWString(), expected[i].message);
        EXPECT_TRUE(report->AdditionalText().IsEmpty());
    }
}

// Runs a one-step scenario and gives what the exception logger collected in it.
std::vector<XWrappedVQException> ReportsOf(const Scenario& scenario) {
    ScenarioRunner runner(scenario);
    runner.Run();
    return runner.Instance().ExceptionLogger().Read().Errors();
}

using ReportTest = PassesTest;

TEST_F(ReportTest, StatePassReportsAMissingConfigurationAndThrowingCallbacks) {
    const Scenario scenario = {
        {{0, 1}},
        {{std::nullopt,
          {},
          {{{S_OK, 0x4}, {kFail, 1, 0x4}, {kRpcServerUnavailable, 0}}},
          {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency), Request(0),
           OnError(0, kCommunication), OnError(1, kCommunication)},
          {{725, kFail}, {771, kFail}, {775, kFail}, {612, kRpcServerUnavailable}}}},
        true,
        {{0, HandlerSlot::ServerEmergencyState, ThrowKind::StdException},
         {1, HandlerSlot::ServerEmergencyState, ThrowKind::Other}}};
    ExpectReports(
        ReportsOf(scenario),
        {{XVQEXCEP::TYPE_MODULE, 725, kFail, XVQEXCEP::SEVERITY_WARNING, L"no server EmergencyConfiguration",
          kStatePass},
         {XVQEXCEP::TYPE_STD, 771, kFail, XVQEXCEP::SEVERITY_SEVERE, kThrown, kStatePass},
         {XVQEXCEP::TYPE_UNKNOWN, 775, kFail, XVQEXCEP::SEVERITY_SEVERE, L"unknown exception", kStatePass},
         // The severity of a failed request is the HRESULT's own (a lost server ranks lower).
         {XVQEXCEP::TYPE_MODULE, 612, kRpcServerUnavailable, XVQEXCEP::SEVERITY_ERROR, L"", kFailoverPass}});
}

// The line at which a recording handler makes the XWrappedVQException it throws.
unsigned WrappedThrowLine() {
    Journal journal;
    RecordingHandler probe(journal);
    probe.ThrowFrom(HandlerSlot::AgentError, ThrowKind::WrappedVQException);
    try {
        probe.OnAgentError(kOther);
    } catch (const XWrappedVQException& error) {
        return error->Location().Line();
    }
    return 0;
}

TEST_F(ReportTest, FailedPollAndThrowingAgentErrorCallbacks) {
    const unsigned wrappedLine = WrappedThrowLine();
    const Scenario scenario = {
        {{0, 1, 2}},
        {{std::nullopt,
          {},
          {{{kRpcDisconnected, 0}}},
          {GetState(0), OnError(0, kCommunication), OnError(1, kCommunication), OnError(2, kCommunication)},
          {{835, kFail}, {839, kFail}, {wrappedLine, kFail}, {698, kRpcDisconnected}}}},
        true,
        {{0, HandlerSlot::AgentError, ThrowKind::StdException},
         {1, HandlerSlot::AgentError, ThrowKind::Other},
         {2, HandlerSlot::AgentError, ThrowKind::WrappedVQException}}};
    const std::vector<XWrappedVQException> reports = ReportsOf(scenario);
    ASSERT_EQ(reports.size(), 4u);
    // The handler's own exception is collected as it was thrown.
    ExpectReports({reports[2]}, {{XVQEXCEP::TYPE_MODULE, wrappedLine, kFail, XVQEXCEP::SEVERITY_WARNING,
                                  kThrown, L"RecordingHandler::Handle", "RecordingHandler.cpp", L"tests"}});
    ExpectReports(
        {reports[0], reports[1], reports[3]},
        {{XVQEXCEP::TYPE_STD, 835, kFail, XVQEXCEP::SEVERITY_SEVERE, kThrown, kDispatch},
         {XVQEXCEP::TYPE_UNKNOWN, 839, kFail, XVQEXCEP::SEVERITY_SEVERE, L"unknown exception", kDispatch},
         {XVQEXCEP::TYPE_SYSTEM, 698, kRpcDisconnected, XVQEXCEP::SEVERITY_ERROR,
          L"ptrSrvAgent->GetServerEmergencyState failed", kStatePass}});
}

TEST_F(ReportTest, FailoverPassReportsAMissingErrorStateAndThrowingCallbacks) {
    const Scenario scenario = {
        {{0, 1}},
        {{std::nullopt,
          {std::nullopt, true},
          {{{S_OK, 0x4}, kMask4, kAccepted}},
          {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency), Request(0),
           OnFailover(0, 0), OnFailover(1, 0)},
          {{568, E_POINTER}, {644, kFail}, {648, kFail}}}},
        true,
        {{0, HandlerSlot::ClientEmergencyFailover, ThrowKind::StdException},
         {1, HandlerSlot::ClientEmergencyFailover, ThrowKind::Other}}};
    ExpectReports(ReportsOf(scenario),
                  {{XVQEXCEP::TYPE_MODULE, 568, E_POINTER, XVQEXCEP::SEVERITY_SEVERE,
                    L"XVQErrorStateHandler::GetInstance() is NULL", kFailoverPass},
                   {XVQEXCEP::TYPE_STD, 644, kFail, XVQEXCEP::SEVERITY_SEVERE, kThrown, kFailoverPass},
                   {XVQEXCEP::TYPE_UNKNOWN, 648, kFail, XVQEXCEP::SEVERITY_SEVERE, L"unknown exception",
                    kFailoverPass}});
}

using DispatchTest = InstancePassesTest;

TEST_F(DispatchTest, RecordWithoutCallableHandlersCallsNothing) {
    const XEmergencyHandlerInstance::XClientHandler empty;
    XEmergencyHandlerInstance::XClientHandler nullOnly;
    nullOnly.m_handlers[nullptr] = {1, 2};
    instance.DispatchAgentError(empty, kOther);
    instance.DispatchAgentError(nullOnly, kCommunication);
    EXPECT_EQ(journal.Count(), 0u);
    EXPECT_TRUE(Collected().empty());
}

TEST_F(DispatchTest, ThrowingFirstHandlerDoesNotStopTheOthers) {
    for (const ThrowKind kind : {ThrowKind::StdException, ThrowKind::WrappedVQException, ThrowKind::Other}) {
        SCOPED_TRACE("throw kind " + std::to_string(static_cast<int>(kind)));
        journal.Clear();
        instance.ExceptionLogger().GetProxy()->Clear();
        handlers[0].ThrowFrom(HandlerSlot::AgentError, kind);
        XEmergencyHandlerInstance::XClientHandler record;
        for (RecordingHandler& handler : handlers) {
            record.m_handlers[&handler];
        }
        instance.DispatchAgentError(record, kCommunication);
        EXPECT_EQ(Callbacks({}),
                  (std::vector<Event>{OnError(0, kCommunication), OnError(1, kCommunication),
                                      OnError(2, kCommunication), OnError(3, kCommunication)}));
        EXPECT_EQ(Collected().size(), 1u);
    }
}

TEST_F(DispatchTest, InstanceWideDispatchReachesEveryHandlerOnceInCookieThenAddressOrder) {
    const DWORD first = Register({3, 0});
    const DWORD second = Register({kNullHandler, 2, 1});
    std::vector<DWORD> cookies = {first, second};
    std::sort(cookies.begin(), cookies.end());
    std::vector<Event> expected;
    for (const DWORD cookie : cookies) {
        const std::vector<int> numbers = cookie == first ? std::vector<int>{0, 3} : std::vector<int>{1, 2};
        for (const int h : numbers) {
            expected.push_back(OnError(h, kOther));
        }
    }

    instance.DispatchAgentError(kOther);

    EXPECT_EQ(Callbacks(cookies), expected);
    EXPECT_TRUE(AgentOf(first).Calls().empty());
    EXPECT_TRUE(Collected().empty());
}

TEST_F(DispatchTest, InstanceWideDispatchWithAnEmptyRegistryCallsNothing) {
    instance.DispatchAgentError(kOther);
    EXPECT_EQ(journal.Count(), 0u);
}

TEST_F(DispatchTest, InstanceWideDispatchOnlyReadsTheRegistry) {
    Register({0});
    // A write proxy inside this thread's read proxy would be refused.
    auto reading = instance.ClientHandlers().GetReadProxy();
    EXPECT_NO_THROW(instance.DispatchAgentError(kOther));
    EXPECT_EQ(journal.Count(), 1u);
}

using PassMechanicsTest = InstancePassesTest;

TEST_F(PassMechanicsTest, FailedAgentLookupLeavesEachPassWithTheRegistryUnlockedAndUnchanged) {
    if (!FaultInjectionSupported(Operation::GitGet)) {
        GTEST_SKIP() << "the table's lookup cannot fail on demand here";
    }
    const DWORD cookie = Register({0});
    const auto before = instance.ClientHandlers().Read();
    // The failover pass looks the agent up before it looks at the record, which is idle here.
    for (const bool statePass : {true, false}) {
        SCOPED_TRACE(statePass ? "state pass" : "failover pass");
        FailNext(Operation::GitGet, 1, static_cast<DWORD>(E_UNEXPECTED));
        try {
            statePass ? instance.HandleServerEmergencyState() : instance.HandleClientEmergencyFailoverState();
            ADD_FAILURE() << "the pass went on";
        } catch (const XWrappedVQException& error) {
            EXPECT_EQ(error->Location().Line(), 342u);
            EXPECT_EQ(error->HResult(), E_UNEXPECTED);
        }
        EXPECT_EQ(instance.ClientHandlers().Section().ThreadRefCount(), 0);
        const auto after = instance.ClientHandlers().Read();
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after.at(cookie).m_dwLastServerState, before.at(cookie).m_dwLastServerState);
    }
    EXPECT_TRUE(AgentOf(cookie).Calls().empty());
    EXPECT_EQ(journal.Count(), 0u);
    EXPECT_TRUE(Collected().empty());
}

TEST_F(PassMechanicsTest, RegistrationWithoutAnAgentIsSkippedAndKept) {
    // Cookie 0 is never looked up in the table: its agent pointer is empty.
    XEmergencyHandlerInstance::XClientHandler due;
    due.m_handlers[&handlers[0]] = {7};
    due.m_dwLastServerState = 5;
    due.m_bEmergency = true;
    due.m_dwEmergencyStartTick = GetTickCount() | 1;
    instance.ClientHandlers().GetProxy()->emplace(0, due);

    instance.HandleServerEmergencyState();
    instance.HandleClientEmergencyFailoverState();

    const auto registry = instance.ClientHandlers().Read();
    ASSERT_EQ(registry.count(0), 1u);
    EXPECT_EQ(registry.at(0).m_dwLastServerState, 5u);
    EXPECT_EQ(registry.at(0).m_lFailoverMark, 0);
    EXPECT_EQ(journal.Count(), 0u);
    EXPECT_TRUE(Collected().empty());
}

TEST_F(PassMechanicsTest, ClientRegistrationWaitsUntilThePassHasEnded) {
    const DWORD cookie = Register({0});
    TestAgent& agent = AgentOf(cookie);
    agent.State().SetDefault({S_OK, 0x4});
    agent.Configuration().SetDefault(kMask4);
    std::vector<ATL::CComPtr<TestAgent>> clientAgents = {TestAgent::Create(), TestAgent::Create()};
    std::atomic<int> registered{0};
    std::vector<std::thread> clients;
    // Inside each pass, on its agent call: a client thread registers and must wait for the pass.
    agent.SetCallHook([&](AgentMethod method) {
        if (method != AgentMethod::GetServerEmergencyState &&
            method != AgentMethod::RequestClientEmergencyFailover) {
            return;
        }
        const int before = registered.load();
        IVQServerEmergencyAgent* const clientAgent = clientAgents[clients.size()]->AsAgent().p;
        clients.emplace_back([&, clientAgent] {
            const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            instance.AddHandler(&handlers[1], clientAgent);
            ++registered;
            if (SUCCEEDED(coInit)) {
                CoUninitialize();
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(registered.load(), before) << "a registration got in while the pass held the registry";
    });

    instance.HandleServerEmergencyState();
    instance.HandleClientEmergencyFailoverState();
    agent.SetCallHook(nullptr);
    for (std::thread& client : clients) {
        client.join();
    }

    EXPECT_EQ(clients.size(), 2u);
    EXPECT_EQ(registered.load(), 2);
    const auto registry = instance.ClientHandlers().Read();
    EXPECT_EQ(registry.size(), 3u);
    for (const auto& entry : registry) {
        if (entry.first != cookie) {
            instance.RevokeFromGIT(entry.first);
        }
    }
}

}  // namespace
}  // namespace vqtest::scenario

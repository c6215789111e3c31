// Agent error dispatch, the communication-failure predicate, the reports the passes collect, and
// how the passes hold the registry: a failed agent lookup, registrations from other threads.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ScenarioRunner.h"

namespace vqtest::scenario {
namespace {

constexpr const wchar_t* kStatePass = L"XEmergencyHandlerInstance::HandleServerEmergencyState";
constexpr const wchar_t* kFailoverPass = L"XEmergencyHandlerInstance::HandleClientEmergencyFailoverState";
constexpr const wchar_t* kDispatch = L"XEmergencyHandlerInstance::DispatchAgentError";
constexpr const wchar_t* kThrown = L"thrown by a recording handler";

TEST(IsCommunicationFailure, DecidesByFacilityThenByCode) {
    // Win32 codes (facility 7) on each side of every single code and range bound.
    const ULONG inside[] = {5,    14,   122,  164,  997,  1130, 1338, 1700, 1722,
                            1726, 1727, 1791, 1817, 1832, 1898, 1900, 1913, 1918};
    const ULONG outside[] = {4,    6,    13,   15,   121,  123,  163,  165,  996,  998,  1129, 1131,
                             1337, 1339, 1699, 1792, 1816, 1833, 1897, 1899, 1901, 1912, 1919, 0x16BA};
    const auto communication = [](ULONG hr) {
        return XEmergencyHandlerInstance::IsCommunicationFailure(static_cast<HRESULT>(hr));
    };
    for (const ULONG code : inside) {
        EXPECT_TRUE(communication(0x80070000 | code)) << code;
    }
    for (const ULONG code : outside) {
        EXPECT_FALSE(communication(0x80070000 | code)) << code;
    }
    // Success codes; E_INVALIDARG excepted though 87 of another facility counts; facility RPC
    // whatever the code, facility 4 never, bits above the 13 facility bits ignored.
    const std::pair<ULONG, bool> rows[] = {
        {0, false},         {1, false},         {0x7FFFFFFF, false}, {0x80070057, false}, {0x80000057, true},
        {0x80010000, true}, {0x8001FFFF, true}, {0xA0010000, true},  {0x800406BA, false}, {0xE0040005, false},
        {0x9FFF0005, true}, {0x800A06BA, true}, {0x80004005, false}, {0x80004003, false}};
    for (const auto& [hr, expected] : rows) {
        EXPECT_EQ(communication(hr), expected) << std::hex << hr;
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

// Runs a one-step scenario (which checks the order of events and that a throwing handler does not
// stop the others) and checks every field of what the exception logger collected.
void ExpectReports(const Scenario& scenario, const std::vector<ExpectedReport>& expected) {
    ScenarioRunner runner(scenario);
    runner.Run();
    const std::vector<XWrappedVQException> reports = runner.Collected();
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

using ReportTest = PassesTest;

TEST_F(ReportTest, StatePassReportsAMissingConfigurationAndThrowingCallbacks) {
    ExpectReports(
        {{{0, 1, 2}},
         {{std::nullopt,
           {},
           {{{S_OK, 0x4}, {kFail, 1, 0x4}, {kRpcServerUnavailable, 0}}},
           {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency),
            OnState(2, 0x4, kEmergency), Request(0), OnError(0, kCommunication), OnError(1, kCommunication),
            OnError(2, kCommunication)},
           {{725, kFail}, {771, kFail}, {775, kFail}, {612, kRpcServerUnavailable}}}},
         true,
         {{0, HandlerSlot::ServerEmergencyState, ThrowKind::StdException},
          {1, HandlerSlot::ServerEmergencyState, ThrowKind::Other}}},
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
    // The handler's own exception is collected as it was thrown.
    ExpectReports(
        {{{0, 1, 2, 3}},
         {{std::nullopt,
           {},
           {{{kRpcDisconnected, 0}}},
           {GetState(0), OnError(0, kCommunication), OnError(1, kCommunication), OnError(2, kCommunication),
            OnError(3, kCommunication)},
           {{835, kFail}, {839, kFail}, {wrappedLine, kFail}, {698, kRpcDisconnected}}}},
         true,
         {{0, HandlerSlot::AgentError, ThrowKind::StdException},
          {1, HandlerSlot::AgentError, ThrowKind::Other},
          {2, HandlerSlot::AgentError, ThrowKind::WrappedVQException}}},
        {{XVQEXCEP::TYPE_STD, 835, kFail, XVQEXCEP::SEVERITY_SEVERE, kThrown, kDispatch},
         {XVQEXCEP::TYPE_UNKNOWN, 839, kFail, XVQEXCEP::SEVERITY_SEVERE, L"unknown exception", kDispatch},
         {XVQEXCEP::TYPE_MODULE, wrappedLine, kFail, XVQEXCEP::SEVERITY_WARNING, kThrown,
          L"RecordingHandler::Handle", "RecordingHandler.cpp", L"tests"},
         {XVQEXCEP::TYPE_SYSTEM, 698, kRpcDisconnected, XVQEXCEP::SEVERITY_ERROR,
          L"ptrSrvAgent->GetServerEmergencyState failed", kStatePass}});
}

TEST_F(ReportTest, FailoverPassReportsAMissingErrorStateAndThrowingCallbacks) {
    ExpectReports(
        {{{0, 1, 2}},
         {{std::nullopt,
           {std::nullopt, true},
           {{{S_OK, 0x4}}},
           {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency),
            OnState(2, 0x4, kEmergency), Request(0), OnFailover(0, 0), OnFailover(1, 0), OnFailover(2, 0)},
           {{568, E_POINTER}, {644, kFail}, {648, kFail}}}},
         true,
         {{0, HandlerSlot::ClientEmergencyFailover, ThrowKind::StdException},
          {1, HandlerSlot::ClientEmergencyFailover, ThrowKind::Other}}},
        {{XVQEXCEP::TYPE_MODULE, 568, E_POINTER, XVQEXCEP::SEVERITY_SEVERE,
          L"XVQErrorStateHandler::GetInstance() is NULL", kFailoverPass},
         {XVQEXCEP::TYPE_STD, 644, kFail, XVQEXCEP::SEVERITY_SEVERE, kThrown, kFailoverPass},
         {XVQEXCEP::TYPE_UNKNOWN, 648, kFail, XVQEXCEP::SEVERITY_SEVERE, L"unknown exception",
          kFailoverPass}});
}

using DispatchTest = PassesTest;

TEST_F(DispatchTest, RecordWithoutCallableHandlersCallsNothing) {
    ScenarioRunner runner({});
    XEmergencyHandlerInstance::XClientHandler nullOnly;
    nullOnly.m_handlers[nullptr] = {1, 2};
    runner.Instance().DispatchAgentError(XEmergencyHandlerInstance::XClientHandler{}, kOther);
    runner.Instance().DispatchAgentError(nullOnly, kCommunication);
    runner.Instance().DispatchAgentError(kOther);  // empty registry
    EXPECT_TRUE(runner.Callbacks().empty());
    EXPECT_TRUE(runner.Collected().empty());
}

TEST_F(DispatchTest, InstanceWideDispatchReachesEveryHandlerOnceInCookieThenAddressOrder) {
    ScenarioRunner runner({{{3, 0}, {kNullHandler, 2, 1}}, {}});
    runner.Instance().DispatchAgentError(kOther);
    EXPECT_EQ(runner.Callbacks(), (std::vector<Event>{OnError(0, kOther), OnError(3, kOther),
                                                      OnError(1, kOther), OnError(2, kOther)}));
    EXPECT_TRUE(runner.Agent(0).Calls().empty());
}

using PassMechanicsTest = PassesTest;

TEST_F(PassMechanicsTest, FailedAgentLookupLeavesEachPassWithTheRegistryUnlockedAndUnchanged) {
    using vqplatform::testing::Operation;
    if (!vqplatform::testing::FaultInjectionSupported(Operation::GitGet)) {
        GTEST_SKIP() << "the table's lookup cannot fail on demand here";
    }
    ScenarioRunner runner({{{0}}, {}});
    XEmergencyHandlerInstance& instance = runner.Instance();
    // The failover pass looks the agent up before it looks at the record, which is idle here.
    for (const bool statePass : {true, false}) {
        SCOPED_TRACE(statePass ? "state pass" : "failover pass");
        vqplatform::testing::FailNext(Operation::GitGet, 1, static_cast<DWORD>(E_UNEXPECTED));
        try {
            statePass ? instance.HandleServerEmergencyState() : instance.HandleClientEmergencyFailoverState();
            ADD_FAILURE() << "the pass went on";
        } catch (const XWrappedVQException& error) {
            EXPECT_EQ(error->Location().Line(), 342u);
            EXPECT_EQ(error->HResult(), E_UNEXPECTED);
        }
        EXPECT_EQ(instance.ClientHandlers().Section().ThreadRefCount(), 0);
        EXPECT_EQ(instance.ClientHandlers().Read().at(runner.Cookie(0)).m_dwLastServerState, 0xFFFFFFFF);
    }
    EXPECT_TRUE(runner.Agent(0).Calls().empty());
    EXPECT_TRUE(runner.Callbacks().empty());
    EXPECT_TRUE(runner.Collected().empty());
}

TEST_F(PassMechanicsTest, ClientRegistrationWaitsUntilThePassHasEnded) {
    ScenarioRunner runner({{{0}}, {}});
    XEmergencyHandlerInstance& instance = runner.Instance();
    TestAgent& agent = runner.Agent(0);
    agent.State().SetDefault({S_OK, 0x4});
    agent.Configuration().SetDefault(kMask4);
    std::vector<ATL::CComPtr<TestAgent>> clientAgents = {TestAgent::Create(), TestAgent::Create()};
    std::atomic<int> registered{0};
    std::vector<std::thread> clients;
    // Inside each pass, on its agent call: a client thread registers and must wait for the pass.
    agent.SetCallHook([&](AgentMethod method) {
        if (method == AgentMethod::GetEmergencyConfiguration) {
            return;
        }
        const int before = registered.load();
        IVQServerEmergencyAgent* const clientAgent = clientAgents[clients.size()]->AsAgent().p;
        clients.emplace_back([&, clientAgent] {
            const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            instance.AddHandler(&runner.Handler(1), clientAgent);
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
    ASSERT_EQ(clients.size(), 2u);
    const auto registry = instance.ClientHandlers().Read();
    EXPECT_EQ(registry.size(), 3u);
    for (const auto& entry : registry) {
        if (entry.first != runner.Cookie(0)) {
            instance.RevokeFromGIT(entry.first);
        }
    }
}

}  // namespace
}  // namespace vqtest::scenario

// The communication-failure predicate, every report site of the passes, and how the passes hold
// the registry: a failed agent lookup, registrations from other threads, calls back from callbacks.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "ScenarioRunner.h"
#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"
#include "support/Gate.h"
#include "xstatehandlerinstance.h"

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
    const auto communication = &XEmergencyHandlerInstance::IsCommunicationFailure;
    for (const ULONG code : inside) {
        EXPECT_TRUE(communication(static_cast<HRESULT>(0x80070000 | code))) << code;
    }
    for (const ULONG code : outside) {
        EXPECT_FALSE(communication(static_cast<HRESULT>(0x80070000 | code))) << code;
    }
    // Success codes; E_INVALIDARG excepted though 87 of another facility counts; facility RPC
    // whatever the code, facility 4 never, bits above the 13 facility bits ignored.
    const std::pair<ULONG, bool> rows[] = {
        {0, false},         {1, false},         {0x7FFFFFFF, false}, {0x80070057, false}, {0x80000057, true},
        {0x80010000, true}, {0x8001FFFF, true}, {0xA0010000, true},  {0x800406BA, false}, {0xE0040005, false},
        {0x9FFF0005, true}, {0x800A06BA, true}, {0x80004005, false}, {0x80004003, false}};
    for (const auto& [hr, expected] : rows) {
        EXPECT_EQ(communication(static_cast<HRESULT>(hr)), expected) << std::hex << hr;
    }
}

// Every field of a collected report, checked once per report site. Reports of the passes name the
// instance's source file.
struct ExpectedReport {
    int type;
    unsigned line;
    HRESULT hr;
    int severity;
    const wchar_t* message;
    const wchar_t* function;
};

using ReportTest = PassesTest;

// Each scenario also checks that a throwing handler stops neither the other handlers nor the pass.
TEST_F(ReportTest, EveryReportSiteOfThePasses) {
    const struct {
        Scenario scenario;
        std::vector<ExpectedReport> reports;
    } rows[] = {
        {{{{0, 1, 2}},
          {{std::nullopt,
            {},
            {{{S_OK, 0x4}, {kFail, 1, 0x4}, {kRpcServerUnavailable, 0}}},
            {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency),
             OnState(2, 0x4, kEmergency), Request(0), OnError(0, kCommunication), OnError(1, kCommunication),
             OnError(2, kCommunication)},
            {kFail, kFail, kFail, kRpcServerUnavailable}}},
          true,
          {{0, HandlerSlot::ServerEmergencyState, ThrowKind::StdException},
           {1, HandlerSlot::ServerEmergencyState, ThrowKind::Other}}},
         {{2, 725, kFail, 3, L"no server EmergencyConfiguration", kStatePass},
          {3, 771, kFail, 8, kThrown, kStatePass},
          {5, 775, kFail, 8, L"unknown exception", kStatePass},
          // The severity of a failed request is the HRESULT's own (a lost server ranks lower).
          {2, 612, kRpcServerUnavailable, 6, L"", kFailoverPass}}},
        {{{{0, 1, 2}},
          {{std::nullopt,
            {},
            {{{kRpcDisconnected, 0}}},
            {GetState(0), OnError(0, kCommunication), OnError(1, kCommunication), OnError(2, kCommunication)},
            {kFail, kFail, kRpcDisconnected}}},
          true,
          {{0, HandlerSlot::AgentError, ThrowKind::StdException},
           {1, HandlerSlot::AgentError, ThrowKind::Other}}},
         {{3, 835, kFail, 8, kThrown, kDispatch},
          {5, 839, kFail, 8, L"unknown exception", kDispatch},
          {1, 698, kRpcDisconnected, 6, L"ptrSrvAgent->GetServerEmergencyState failed", kStatePass}}},
        {{{{0, 1, 2}},
          {{std::nullopt,
            {std::nullopt, true},
            {{{S_OK, 0x4}}},
            {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency),
             OnState(2, 0x4, kEmergency), Request(0), OnFailover(0, 0), OnFailover(1, 0), OnFailover(2, 0)},
            {E_POINTER, kFail, kFail}}},
          true,
          {{0, HandlerSlot::ClientEmergencyFailover, ThrowKind::StdException},
           {1, HandlerSlot::ClientEmergencyFailover, ThrowKind::Other}}},
         {{2, 568, E_POINTER, 8, L"XVQErrorStateHandler::GetInstance() is NULL", kFailoverPass},
          {3, 644, kFail, 8, kThrown, kFailoverPass},
          {5, 648, kFail, 8, L"unknown exception", kFailoverPass}}},
    };
    for (const auto& row : rows) {
        ScenarioRunner runner(row.scenario);
        runner.Run();
        const std::vector<XWrappedVQException> reports = runner.Collected();
        ASSERT_EQ(reports.size(), row.reports.size());
        for (std::size_t i = 0; i < reports.size(); ++i) {
            const ExpectedReport& e = row.reports[i];
            ASSERT_FALSE(reports[i].IsEmpty());
            const XVQException& r = *reports[i].Get();
            EXPECT_EQ(std::make_tuple(r.Type(), r.Location().File(), r.Location().Line(),
                                      r.Location().Subsystem().ToWString(),
                                      r.Location().Function().ToWString(), r.HResult(), r.Severity(),
                                      r.Message().ToWString(), r.AdditionalText().IsEmpty()),
                      std::make_tuple(e.type, std::string(".\\xemergencyhandlerinstance"), e.line,
                                      std::wstring(L"VQProcessStateHandler"), std::wstring(e.function), e.hr,
                                      e.severity, std::wstring(e.message), true));
        }
        errorstate::SetAbsent(false);
    }
}

using PassMechanicsTest = PassesTest;

TEST_F(PassMechanicsTest, FailedAgentLookupLeavesEachPassWithTheRegistryUnlockedAndUnchanged) {
    using seams::Operation;
    ScenarioRunner runner({{{0}}, {}});
    XEmergencyHandlerInstance& instance = runner.Instance();
    // The failover pass looks the agent up before it looks at the record, which is idle here.
    for (const bool statePass : {true, false}) {
        SCOPED_TRACE(statePass ? "state pass" : "failover pass");
        seams::FailNext(Operation::GitGet, 1, static_cast<DWORD>(E_UNEXPECTED));
        try {
            statePass ? instance.HandleServerEmergencyState() : instance.HandleClientEmergencyFailoverState();
            ADD_FAILURE() << "the pass went on";
        } catch (const XWrappedVQException& error) {
            EXPECT_EQ(std::make_tuple(error->Location().Line(), error->HResult(), error->Count()),
                      std::make_tuple(342u, E_UNEXPECTED, 2u));
        }
        EXPECT_EQ(instance.Registry().Section().ThreadRefCount(), 0);
        EXPECT_EQ(instance.Registry().Read().registrations.at(runner.Cookie(0)).m_dwLastServerState,
                  0xFFFFFFFF);
    }
    EXPECT_TRUE(runner.Agent(0).Calls().empty());
    EXPECT_TRUE(runner.Events().empty());
    EXPECT_TRUE(runner.Collected().empty());
}

// Each pass holds the registry from its first agent call to its last callback. A client that
// registers from inside an agent call of a pass (it has asked its own agent for the identity, the
// last step before it takes the registry) finishes only after that pass's callback. The test lets
// each registration finish before the next pass begins, so no registration falls between passes.
TEST_F(PassMechanicsTest, ClientRegistrationWaitsUntilThePassHasEnded) {
    ScenarioRunner runner({{{0}}, {}});
    XEmergencyHandlerInstance& instance = runner.Instance();
    runner.Agent(0).State().SetDefault({S_OK, 0x4});
    runner.Agent(0).Configuration().SetDefault(kMask4);
    std::thread client;
    DWORD pass = 0;
    Gate atIdentity[2];
    runner.Agent(0).SetCallHook([&](const AgentCall& call) {
        EXPECT_GT(instance.Registry().Section().ThreadRefCount(), 0) << "an agent call outside the registry";
        if (call.method == AgentMethod::GetEmergencyConfiguration) {
            return;
        }
        auto clientAgent = TestAgent::Create(IdentityMode::Named, pass, L"client");
        clientAgent->SetCallHook([&reached = atIdentity[pass]](const AgentCall&) { reached.Open(); });
        client = std::thread([&runner, &instance, clientAgent, marker = pass] {
            const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            instance.AddHandler(&runner.Handler(1), clientAgent->AsAgent());
            runner.Handler(1).OnAgentError(marker);  // marks the end of the registration in the journal
            if (SUCCEEDED(coInit)) {
                CoUninitialize();
            }
        });
        EXPECT_TRUE(atIdentity[pass].Wait());
    });
    instance.HandleServerEmergencyState();
    client.join();
    pass = 1;
    instance.HandleClientEmergencyFailoverState();
    client.join();
    runner.Agent(0).SetCallHook(nullptr);
    EXPECT_EQ(runner.Events(), (std::vector<Event>{OnState(0, 0x4, kEmergency), OnError(1, 0),
                                                   OnFailover(0, 0), OnError(1, 1)}));
    for (const auto& entry : instance.Registry().Read().registrations) {
        if (entry.first != runner.Cookie(0)) {
            instance.RevokeFromGIT(entry.first);
        }
    }
}

// A callback that calls the library back is refused before anything happens, in both passes and
// in the worker-end dispatch: the call would change the registry under the walk (a deregistration
// freed the record being walked). The calls go to the process-wide instance, which this program
// never creates: a refusal that came too late would create it and start its worker.
TEST_F(PassMechanicsTest, EveryExportedFunctionCalledFromEveryCallbackIsRefusedAndChangesNothing) {
    using Api = XVQProcessEmergencyHandler;
    const auto newAgent = TestAgent::Create();
    const std::pair<const wchar_t*, std::function<void(ScenarioRunner&)>> calls[] = {
        {L"XVQProcessEmergencyHandler::RegisterServerEmergencyHandler",
         [&](ScenarioRunner& r) { Api::RegisterServerEmergencyHandler(&r.Handler(1), newAgent->AsAgent()); }},
        {L"XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler",
         [](ScenarioRunner& r) { Api::DeregisterServerEmergencyHandler(&r.Handler(0)); }},
        {L"XVQProcessEmergencyHandler::RegisterClientConnectionId",
         [](ScenarioRunner& r) { Api::RegisterClientConnectionId(&r.Handler(0), 8); }},
        {L"XVQProcessEmergencyHandler::DeregisterClientConnectionId",
         [](ScenarioRunner& r) { Api::DeregisterClientConnectionId(&r.Handler(0), 7); }},
    };
    const auto failoverCalls = [] { return errorstate::Calls().size(); };
    const auto threads = [] { return XStateHandlerInstance::Instance()->GetProxy()->size(); };
    for (const HandlerSlot slot :
         {HandlerSlot::ServerEmergencyState, HandlerSlot::ClientEmergencyFailover, HandlerSlot::AgentError}) {
        for (const auto& [function, call] : calls) {
            SCOPED_TRACE(::testing::PrintToString(static_cast<int>(slot)) + " " +
                         ::testing::PrintToString(std::wstring(function)));
            ScenarioRunner runner({{{0}}, {}});
            XEmergencyHandlerInstance& instance = runner.Instance();
            instance.AddClientId(&runner.Handler(0), 7);
            runner.Agent(0).State().SetDefault({S_OK, 0x4});
            runner.Agent(0).Configuration().SetDefault(kMask4);
            // Each registration's handlers with their ids, and the handler index.
            const auto registrations = [&instance] {
                const XEmergencyHandlerInstance::XRegistry registry = instance.Registry().Read();
                std::map<DWORD, std::map<XClientEmergencyHandler*, std::set<LONG>>> handlers;
                for (const auto& [cookie, record] : registry.registrations) {
                    handlers[cookie] = record.m_handlers;
                }
                return std::make_pair(handlers, registry.handlerCookies);
            };
            const auto before = std::make_tuple(registrations(), failoverCalls(), threads());
            XVQLogBook::Clear();
            std::vector<HRESULT> refusals;
            runner.Handler(0).SetCallHook([&, slot = slot, &call = call](HandlerSlot called) {
                if (called != slot) {
                    return;
                }
                try {
                    call(runner);
                } catch (const XWrappedVQException& error) {
                    refusals.push_back(error->HResult());
                }
            });
            if (slot == HandlerSlot::AgentError) {
                instance.DispatchAgentError(kOther);
            } else {
                instance.HandleServerEmergencyState();
                instance.HandleClientEmergencyFailoverState();
            }
            runner.Handler(0).SetCallHook(nullptr);
            EXPECT_EQ(refusals, std::vector<HRESULT>{static_cast<HRESULT>(0x8000000E)});
            const std::vector<XVQLogEntry> log = XVQLogBook::Entries();
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(
                std::make_tuple(log[0].hr, log[0].type, log[0].severity, log[0].file, log[0].line,
                                log[0].function, log[0].message),
                std::make_tuple(static_cast<HRESULT>(0x8000000E), 2, 6,
                                std::string(".\\xemergencyhandlerinstance"), 950u, std::wstring(function),
                                std::wstring(L"a handler callback must not call the library")));
            EXPECT_EQ(std::make_tuple(registrations(), failoverCalls(), threads()), before);
            EXPECT_EQ(newAgent->RefCount(), 1u) << "the new agent reached an interface table";
        }
    }
}

}  // namespace
}  // namespace vqtest::scenario

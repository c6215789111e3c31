#include "ScenarioRunner.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace vqtest::scenario {
namespace {

using FailoverRegistry = XVQErrorStateHandler::XClientEmergencyFailoverHandler;

const char* Name(EventKind kind) {
    switch (kind) {
        case EventKind::OnServerEmergencyState:
            return "OnServerEmergencyState";
        case EventKind::OnAgentError:
            return "OnAgentError";
        case EventKind::OnClientEmergencyFailover:
            return "OnClientEmergencyFailover";
        case EventKind::GetServerEmergencyState:
            return "GetServerEmergencyState";
        case EventKind::GetEmergencyConfiguration:
            return "GetEmergencyConfiguration";
        case EventKind::RequestClientEmergencyFailover:
            return "RequestClientEmergencyFailover";
        case EventKind::FailoverRegistryCall:
            return "FailoverRegistryCall";
    }
    return "?";
}

bool IsCallback(EventKind kind) {
    return kind == EventKind::OnServerEmergencyState || kind == EventKind::OnAgentError ||
           kind == EventKind::OnClientEmergencyFailover;
}

// A callback as an event, with its handler's and (for a failover) its registration's number.
Event ToEvent(const HandlerEvent& callback, int handler, int registration) {
    switch (callback.slot) {
        case HandlerSlot::ServerEmergencyState:
            return OnState(handler, callback.first, static_cast<LONG>(callback.second));
        case HandlerSlot::AgentError:
            return OnError(handler, callback.first);
        case HandlerSlot::ClientEmergencyFailover:
            break;
    }
    return {EventKind::OnClientEmergencyFailover, handler, callback.first, static_cast<DWORD>(registration)};
}

int NumberOf(const RecordingHandler* handler, const RecordingHandler (&pool)[kHandlers]) {
    for (int h = 0; h < kHandlers; ++h) {
        if (handler == &pool[h]) {
            return h;
        }
    }
    return -1;
}

int NumberOf(DWORD cookie, const std::vector<DWORD>& cookies) {
    const auto it = std::find(cookies.begin(), cookies.end(), cookie);
    return it == cookies.end() ? -1 : static_cast<int>(it - cookies.begin());
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Event& event) {
    out << (IsCallback(event.kind) ? "h" : "r") << event.who << "." << Name(event.kind);
    switch (event.kind) {
        case EventKind::OnServerEmergencyState:
            return out << "(0x" << std::hex << event.first << std::dec << ", " << event.second << ")";
        case EventKind::OnAgentError:
            return out << "(" << event.first << ")";
        case EventKind::OnClientEmergencyFailover:
            return out << "(" << event.first << ", r" << static_cast<int>(event.second) << ")";
        case EventKind::RequestClientEmergencyFailover:
            return out << "(pid " << event.first << (event.second == 1 ? ", our name)" : ", another name)");
        case EventKind::FailoverRegistryCall:
            return out << "(call kind " << event.first << ", id " << static_cast<LONG>(event.second) << ")";
        case EventKind::GetServerEmergencyState:
        case EventKind::GetEmergencyConfiguration:
            break;
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const Report& report) {
    return out << "line " << report.line << " hr 0x" << std::hex << static_cast<ULONG>(report.hr) << std::dec;
}

std::ostream& operator<<(std::ostream& out, const Record& record) {
    return out << "r" << record.registration << "{state 0x" << std::hex << record.lastState << std::dec
               << (record.emergency ? ", emergency" : ", normal") << ", start " << record.startTick
               << ", mark " << record.failoverMark << "}";
}

bool NeedsClockSeam(const Scenario& scenario) {
    return std::any_of(scenario.steps.begin(), scenario.steps.end(),
                       [](const Step& step) { return step.tick.has_value(); });
}

void RunScenario(const Scenario& scenario) {
    if (NeedsClockSeam(scenario) && !vqplatform::testing::ClockSeamSupported()) {
        GTEST_SKIP() << "the tick count cannot be fixed on this platform";
    }
    ScenarioRunner(scenario).Run();
}

ScenarioRunner::ScenarioRunner(const Scenario& scenario)
    : m_scenario(scenario), m_errorState(XVQErrorStateHandler::GetInstance()) {
    if (scenario.identity) {
        if (vqplatform::testing::IdentitySeamSupported()) {
            vqplatform::testing::SetComputerName(L"PASSES-HOST");
        }
        m_instance.Init();
    }

    std::vector<std::pair<DWORD, std::size_t>> made;  // cookie, agent
    std::vector<ATL::CComPtr<TestAgent>> agents;
    for (std::size_t i = 0; i < scenario.registrations.size(); ++i) {
        const auto before = m_instance.ClientHandlers().Read();
        agents.push_back(TestAgent::Create());
        m_instance.AddHandler(nullptr, agents.back()->AsAgent());
        for (const auto& entry : m_instance.ClientHandlers().Read()) {
            if (before.count(entry.first) == 0) {
                made.emplace_back(entry.first, i);
            }
        }
    }
    std::sort(made.begin(), made.end());
    for (const auto& [cookie, agent] : made) {
        m_cookies.push_back(cookie);
        m_agents.push_back(agents[agent]);
    }
    EXPECT_EQ(m_cookies.size(), scenario.registrations.size())
        << "every registration has a cookie of its own";

    {
        auto proxy = m_instance.ClientHandlers().GetProxy();
        for (std::size_t r = 0; r < m_cookies.size(); ++r) {
            auto& handlers = proxy->at(m_cookies[r]).m_handlers;
            handlers.clear();
            for (const int h : scenario.registrations[r]) {
                handlers.try_emplace(h == kNullHandler ? nullptr : &m_handlers[h]);
            }
        }
    }
    for (std::size_t r = 0; r < m_agents.size(); ++r) {
        m_agents[r]->SetCallHook([this, r](AgentMethod) {
            m_marks.push_back({static_cast<int>(r), m_journal.Count(), RegistryCalls().size()});
        });
    }
    for (const Throwing& throwing : scenario.throwing) {
        m_handlers[throwing.handler].ThrowFrom(throwing.slot, throwing.kind);
    }
}

ScenarioRunner::~ScenarioRunner() {
    for (const ATL::CComPtr<TestAgent>& agent : m_agents) {
        agent->SetCallHook(nullptr);
    }
    for (const DWORD cookie : m_cookies) {
        m_instance.RevokeFromGIT(cookie);
    }
    m_instance.ReleaseGIT();
}

void ScenarioRunner::Run() {
    for (std::size_t i = 0; i < m_scenario.steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        RunStep(m_scenario.steps[i]);
    }
}

std::vector<XVQErrorStateHandler::XClientEmergencyFailoverHandler::Call> ScenarioRunner::RegistryCalls()
    const {
    // Through the object itself: it lives on, and stays readable, while GetInstance() says absent.
    return m_errorState == nullptr ? std::vector<FailoverRegistry::Call>{}
                                   : m_errorState->GetClientEmergencyFailoverHandler().Calls();
}

void ScenarioRunner::RunStep(const Step& step) {
    if (step.settings.userInteractionTimeout && m_errorState != nullptr) {
        m_errorState->GetClientEmergencyFailoverHandler().SetUserInteractionTimeout(
            *step.settings.userInteractionTimeout);
    }
    if (step.settings.errorStateAbsent) {
        XVQErrorStateHandler::SetInstanceAbsent(*step.settings.errorStateAbsent);
    }
    if (step.tick) {
        vqplatform::testing::SetTickCount(*step.tick);
    }
    for (std::size_t r = 0; r < std::min(step.answers.size(), m_agents.size()); ++r) {
        m_agents[r]->State().SetDefault(step.answers[r].state);
        m_agents[r]->Configuration().SetDefault(step.answers[r].configuration);
        m_agents[r]->Failover().SetDefault(step.answers[r].failover);
    }

    std::vector<std::size_t> agentCallsBefore;
    for (const ATL::CComPtr<TestAgent>& agent : m_agents) {
        agentCallsBefore.push_back(agent->Calls().size());
    }
    const std::size_t registryCallsBefore = RegistryCalls().size();
    m_journal.Clear();
    m_marks.clear();
    m_instance.ExceptionLogger().GetProxy()->Clear();

    try {
        m_instance.HandleServerEmergencyState();
        m_instance.HandleClientEmergencyFailoverState();
    } catch (const XWrappedVQException& error) {
        ADD_FAILURE() << "the cycle raised line " << error->Location().Line() << ": "
                      << error->Message().ToUtf8();
    }

    std::vector<Event> expected = step.expected;
    for (Event& event : expected) {
        if (event.kind == EventKind::RequestClientEmergencyFailover) {
            event.first = m_instance.GetClientProcessId();
        }
    }
    EXPECT_EQ(Merge(agentCallsBefore, registryCallsBefore), expected);

    std::vector<Report> reports;
    for (const XWrappedVQException& error : m_instance.ExceptionLogger().Read().Errors()) {
        reports.push_back({error->Location().Line(), error->HResult()});
    }
    EXPECT_EQ(reports, step.reports);
    if (step.records) {
        EXPECT_EQ(Records(), *step.records);
    }
}

std::vector<Event> ScenarioRunner::Merge(const std::vector<std::size_t>& agentCallsBefore,
                                         std::size_t registryCallsBefore) {
    const std::vector<HandlerEvent> callbacks = m_journal.Events();
    const std::vector<FailoverRegistry::Call> registryCalls = RegistryCalls();
    std::vector<std::vector<AgentCall>> agentCalls;
    for (const ATL::CComPtr<TestAgent>& agent : m_agents) {
        agentCalls.push_back(agent->Calls());
    }
    std::vector<std::size_t> nextAgentCall = agentCallsBefore;

    std::vector<Event> events;
    std::size_t nextCallback = 0;
    std::size_t nextRegistryCall = registryCallsBefore;
    const auto takeUpTo = [&](std::size_t callbacksBefore, std::size_t registryCallsUpTo) {
        for (; nextCallback < std::min(callbacksBefore, callbacks.size()); ++nextCallback) {
            const HandlerEvent& callback = callbacks[nextCallback];
            events.push_back(
                ToEvent(callback, NumberOf(callback.handler, m_handlers), RegistrationOf(callback.second)));
        }
        for (; nextRegistryCall < std::min(registryCallsUpTo, registryCalls.size()); ++nextRegistryCall) {
            const FailoverRegistry::Call& call = registryCalls[nextRegistryCall];
            events.push_back({EventKind::FailoverRegistryCall, RegistrationOf(call.cookie),
                              static_cast<DWORD>(call.kind), static_cast<DWORD>(call.clientId)});
        }
    };

    const XVQComBSTR computerName = m_instance.GetClientComputerName();
    for (const Mark& mark : m_marks) {
        takeUpTo(mark.callbacks, mark.registryCalls);
        const std::size_t r = static_cast<std::size_t>(mark.registration);
        const AgentCall& call = agentCalls[r].at(nextAgentCall[r]++);
        switch (call.method) {
            case AgentMethod::GetServerEmergencyState:
                events.push_back(GetState(mark.registration));
                break;
            case AgentMethod::GetEmergencyConfiguration:
                events.push_back(GetConfig(mark.registration));
                break;
            case AgentMethod::RequestClientEmergencyFailover:
                events.push_back(
                    {EventKind::RequestClientEmergencyFailover, mark.registration, call.processId,
                     !call.computerNameNull && call.computerName == computerName.ToWString() ? 1u : 0u});
                break;
            case AgentMethod::GetServerIdentity:
                ADD_FAILURE() << "the passes asked r" << mark.registration << " for its identity";
                break;
        }
    }
    takeUpTo(callbacks.size(), registryCalls.size());
    return events;
}

int ScenarioRunner::RegistrationOf(DWORD cookie) const {
    return NumberOf(cookie, m_cookies);
}

std::vector<Record> ScenarioRunner::Records() {
    std::vector<Record> records;
    for (const auto& [cookie, record] : m_instance.ClientHandlers().Read()) {
        records.push_back({RegistrationOf(cookie), record.m_dwLastServerState, record.m_bEmergency,
                           record.m_dwEmergencyStartTick, record.m_lFailoverMark});
    }
    return records;
}

void PassesTest::SetUp() {
    vqplatform::testing::ResetAll();
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    XVQLogBook::Clear();
    XVQErrorStateHandler::SetInstanceAbsent(false);
    XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Reset();
    m_coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}

void PassesTest::TearDown() {
    if (SUCCEEDED(m_coInit)) {
        CoUninitialize();
    }
    vqplatform::testing::ResetAll();
    XVQErrorStateHandler::SetInstanceAbsent(false);
    XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Reset();
    XVQLogBook::Clear();
}

void InstancePassesTest::SetUp() {
    PassesTest::SetUp();
    if (vqplatform::testing::IdentitySeamSupported()) {
        vqplatform::testing::SetComputerName(L"PASSES-HOST");
    }
    instance.Init();
}

void InstancePassesTest::TearDown() {
    for (auto& [cookie, agent] : agents) {
        agent->SetCallHook(nullptr);
        instance.RevokeFromGIT(cookie);
    }
    instance.ReleaseGIT();
    PassesTest::TearDown();
}

DWORD InstancePassesTest::Register(const std::vector<int>& handlerNumbers) {
    const auto pointer = [this](int h) { return h == kNullHandler ? nullptr : &handlers[h]; };
    ATL::CComPtr<TestAgent> agent = TestAgent::Create();
    const auto before = instance.ClientHandlers().Read();
    instance.AddHandler(pointer(handlerNumbers.at(0)), agent->AsAgent());
    DWORD cookie = 0;
    for (const auto& entry : instance.ClientHandlers().Read()) {
        if (before.count(entry.first) == 0) {
            cookie = entry.first;
        }
    }
    auto proxy = instance.ClientHandlers().GetProxy();
    for (const int h : handlerNumbers) {
        proxy->at(cookie).m_handlers.try_emplace(pointer(h));
    }
    agents.emplace_back(cookie, agent);
    return cookie;
}

TestAgent& InstancePassesTest::AgentOf(DWORD cookie) {
    for (auto& [agentCookie, agent] : agents) {
        if (agentCookie == cookie) {
            return *agent;
        }
    }
    throw std::out_of_range("no agent registered under this cookie");
}

std::vector<Event> InstancePassesTest::Callbacks(const std::vector<DWORD>& cookies) const {
    std::vector<Event> events;
    for (const HandlerEvent& callback : journal.Events()) {
        events.push_back(
            ToEvent(callback, NumberOf(callback.handler, handlers), NumberOf(callback.second, cookies)));
    }
    return events;
}

}  // namespace vqtest::scenario

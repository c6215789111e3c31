#include "ScenarioRunner.h"

#include <string>

namespace vqtest::scenario {

std::ostream& operator<<(std::ostream& out, const Event& event) {
    static const char* const kNames[] = {"OnServerEmergencyState",    "OnAgentError",
                                         "OnClientEmergencyFailover", "GetServerEmergencyState",
                                         "GetEmergencyConfiguration", "RequestClientEmergencyFailover"};
    return out << (event.kind <= EventKind::OnClientEmergencyFailover ? "h" : "r") << event.who << "."
               << kNames[static_cast<int>(event.kind)] << "(0x" << std::hex << event.first << ", 0x"
               << event.second << std::dec << ")";
}

void RunScenario(const Scenario& scenario) {
    ScenarioRunner(scenario).Run();
}

ScenarioRunner::ScenarioRunner(const Scenario& scenario)
    : m_scenario(scenario), m_errorState(XVQErrorStateHandler::GetInstance()) {
    if (scenario.identity) {
        m_instance.Init();
    }
    // Each registration is made by AddHandler with its first handler. A registration of several
    // handlers, which clients cannot make, gets the others through the registry's proxy, index
    // included.
    const auto pointer = [this](int h) -> XClientEmergencyHandler* {
        return h == kNullHandler ? nullptr : &m_handlers[h];
    };
    for (const auto& handlers : scenario.registrations) {
        const auto before = m_instance.Registry().Read().registrations;
        ATL::CComPtr<TestAgent> agent = TestAgent::Create();
        m_instance.AddHandler(pointer(handlers.empty() ? kNullHandler : handlers.front()), agent->AsAgent());
        auto proxy = m_instance.Registry().GetProxy();
        for (const auto& entry : proxy->registrations) {
            if (before.count(entry.first) == 0) {
                m_cookies.push_back(entry.first);
                m_agents.push_back(agent);
            }
        }
        for (std::size_t h = 1; h < handlers.size(); ++h) {
            proxy->registrations.at(m_cookies.back()).m_handlers.try_emplace(pointer(handlers[h]));
            proxy->handlerCookies.emplace(pointer(handlers[h]), m_cookies.back());
        }
    }
    EXPECT_EQ(m_cookies.size(), scenario.registrations.size())
        << "every registration has a cookie of its own";
    for (std::size_t r = 0; r < m_cookies.size(); ++r) {
        // Callbacks made before this call come first; then the call itself.
        m_agents[r]->SetCallHook([this, r](const AgentCall& call) {
            Flush();
            const bool ourName = call.method == AgentMethod::RequestClientEmergencyFailover &&
                                 call.computerName == m_instance.GetClientComputerName().ToWString();
            m_events.push_back({static_cast<EventKind>(static_cast<int>(call.method) + 3),
                                static_cast<int>(r), call.processId, ourName ? 1u : 0u});
        });
    }
    for (const Throwing& throwing : scenario.throwing) {
        m_handlers[throwing.handler].ThrowFrom(throwing.slot, throwing.kind);
    }
}

ScenarioRunner::~ScenarioRunner() {
    for (std::size_t r = 0; r < m_agents.size(); ++r) {
        m_agents[r]->SetCallHook(nullptr);
        m_instance.RevokeFromGIT(m_cookies[r]);
    }
    m_instance.ReleaseGIT();
}

void ScenarioRunner::Run() {
    for (std::size_t i = 0; i < m_scenario.steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        RunStep(m_scenario.steps[i]);
    }
}

const std::vector<Event>& ScenarioRunner::Flush() {
    const std::vector<HandlerEvent> callbacks = m_journal.Events();
    for (; m_callbacksSeen < callbacks.size(); ++m_callbacksSeen) {
        const HandlerEvent& c = callbacks[m_callbacksSeen];
        const bool failover = c.slot == HandlerSlot::ClientEmergencyFailover;
        m_events.push_back({static_cast<EventKind>(c.slot), static_cast<int>(c.handler - m_handlers), c.first,
                            failover ? static_cast<DWORD>(Registration(c.second)) : c.second});
    }
    return m_events;
}

void ScenarioRunner::RunStep(const Step& step) {
    if (step.settings.userInteractionTimeout && m_errorState != nullptr) {
        m_errorState->GetClientEmergencyFailoverHandler().SetUserInteractionTimeout(
            *step.settings.userInteractionTimeout);
    }
    if (step.settings.errorStateAbsent) {
        errorstate::SetAbsent(*step.settings.errorStateAbsent);
    }
    if (step.tick) {
        seams::SetTickCount(*step.tick);
    }
    for (std::size_t r = 0; r < std::min(m_agents.size(), step.answers.size()); ++r) {
        m_agents[r]->State().SetDefault(step.answers[r].state);
        m_agents[r]->Configuration().SetDefault(step.answers[r].configuration);
        m_agents[r]->Failover().SetDefault(step.answers[r].failover);
    }
    const std::size_t registryCallsBefore = RegistryCallCount();
    Flush();
    m_events.clear();
    m_instance.ExceptionLogger().GetProxy()->Clear();
    try {
        m_instance.HandleServerEmergencyState();
        m_instance.HandleClientEmergencyFailoverState();
    } catch (const XWrappedVQException& error) {
        ADD_FAILURE() << "the cycle raised line " << error->Location().Line();
    }

    std::vector<Event> expected = step.expected;
    for (Event& event : expected) {
        event.first = event.kind == EventKind::RequestClientEmergencyFailover
                          ? m_instance.GetClientProcessId()
                          : event.first;
    }
    EXPECT_EQ(Events(), expected);
    EXPECT_EQ(RegistryCallCount(), registryCallsBefore) << "the passes touched the failover registry";
    std::vector<HRESULT> reports;
    for (const XWrappedVQException& error : Collected()) {
        reports.push_back(error->HResult());
    }
    EXPECT_EQ(reports, step.reports);
    if (step.records) {
        std::vector<Record> records;
        for (const auto& [cookie, record] : m_instance.Registry().Read().registrations) {
            records.emplace_back(Registration(cookie), record.m_dwLastServerState, record.m_bEmergency,
                                 record.m_dwEmergencyStartTick, record.m_lFailoverMark);
        }
        EXPECT_EQ(records, *step.records);
    }
}

}  // namespace vqtest::scenario

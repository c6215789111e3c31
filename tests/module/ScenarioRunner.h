// Table-driven tests of the worker's two passes.
//
// A Scenario is a set of registrations (each a list of handlers of a shared pool) and a table of
// steps. Each step scripts what every registration's agent answers during one worker cycle (state
// pass, then failover pass), optionally fixes the tick count and changes the error state, and lists
// exactly what must happen in that cycle, in order: agent calls and handler callbacks. It also
// lists the HRESULTs of the errors the exception logger collected and may list the records left.
//
// The runner works on an instance of its own (its worker start does nothing), Init() run unless
// the scenario says the identity is missing. Registrations are numbered 0.. in ascending cookie
// order and handlers 0..kHandlers-1 in ascending address order, so a table reads in the order the
// passes walk. The passes must never touch the failover registry of the client ids. A step without
// a tick count leaves the clock as it was; a registration without answers keeps its previous ones.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <ostream>
#include <tuple>
#include <vector>

#include "VQError/VQError.h"
#include "seams/ErrorState.h"
#include "seams/PlatformSeams.h"
#include "support/ModuleTest.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"
#include "xemergencyhandlerinstance.h"

namespace vqtest::scenario {

inline constexpr int kHandlers = 4;
inline constexpr int kNullHandler = -1;  // a null handler pointer in a registration's list

// Agent calls in the order of AgentMethod, so that one maps onto the other.
enum class EventKind {
    OnServerEmergencyState,
    OnAgentError,
    OnClientEmergencyFailover,
    GetServerEmergencyState,
    GetEmergencyConfiguration,
    RequestClientEmergencyFailover,
};

// `who` is the handler for callbacks, the registration for agent calls. Arguments:
// OnServerEmergencyState (state, mode); OnAgentError (kind, 0); OnClientEmergencyFailover (value,
// registration); RequestClientEmergencyFailover (process id, 1 when the name was the instance's).
struct Event {
    EventKind kind;
    int who;
    DWORD first;
    DWORD second;

    bool operator==(const Event& o) const {
        return kind == o.kind && who == o.who && first == o.first && second == o.second;
    }
};
std::ostream& operator<<(std::ostream& out, const Event& event);

inline Event OnState(int handler, DWORD state, LONG mode) {
    return {EventKind::OnServerEmergencyState, handler, state, static_cast<DWORD>(mode)};
}
inline Event OnError(int handler, DWORD kind) {
    return {EventKind::OnAgentError, handler, kind, 0};
}
inline Event OnFailover(int handler, int registration) {
    return {EventKind::OnClientEmergencyFailover, handler, 2, static_cast<DWORD>(registration)};
}
inline Event GetState(int registration) {
    return {EventKind::GetServerEmergencyState, registration, 0, 0};
}
inline Event GetConfig(int registration) {
    return {EventKind::GetEmergencyConfiguration, registration, 0, 0};
}
// With the process id and computer name the instance recorded (the runner fills in the id).
inline Event Request(int registration) {
    return {EventKind::RequestClientEmergencyFailover, registration, 0, 1};
}

// The values the callbacks receive, as published.
inline constexpr LONG kNormal = 1;
inline constexpr LONG kEmergency = 2;
inline constexpr DWORD kCommunication = 1;
inline constexpr DWORD kOther = 3;
inline constexpr ConfigurationAnswer kMask4 = {S_OK, 1, 0x4};  // states with bit 0x4 are emergencies
inline constexpr FailoverAnswer kAccepted = {S_OK, 0};
inline constexpr HRESULT kRpcDisconnected = static_cast<HRESULT>(0x80010108);       // facility RPC
inline constexpr HRESULT kRpcServerUnavailable = static_cast<HRESULT>(0x800706BA);  // Win32 error 1722
inline constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005);

// What one registration's agent answers during a cycle.
struct Answers {
    StateAnswer state;
    ConfigurationAnswer configuration = kMask4;
    FailoverAnswer failover = kAccepted;
};

// A record left in the registry after a cycle: registration, last state, emergency, start tick,
// failover mark.
using Record = std::tuple<int, DWORD, bool, DWORD, LONG>;

// Changes to the process-wide error state before a cycle; unset: unchanged.
struct Settings {
    std::optional<unsigned> userInteractionTimeout = std::nullopt;  // seconds
    std::optional<bool> errorStateAbsent = std::nullopt;
};

struct Step {
    std::optional<DWORD> tick;
    Settings settings;
    std::vector<Answers> answers;  // by registration
    std::vector<Event> expected;
    std::vector<HRESULT> reports = {};
    std::optional<std::vector<Record>> records = std::nullopt;  // exactly these, by cookie
};

struct Throwing {
    int handler;
    HandlerSlot slot;
    ThrowKind kind;
};

struct Scenario {
    std::vector<std::vector<int>> registrations;  // handler numbers, or kNullHandler
    std::vector<Step> steps;
    bool identity = true;
    std::vector<Throwing> throwing = {};
};

class ScenarioRunner {
  public:
    explicit ScenarioRunner(const Scenario& scenario);
    ~ScenarioRunner();

    // Runs every step, each checked with EXPECTs under a trace naming the step.
    void Run();

    XEmergencyHandlerInstance& Instance() { return m_instance; }
    TestAgent& Agent(int registration) { return *m_agents.at(static_cast<std::size_t>(registration)); }
    DWORD Cookie(int registration) const { return m_cookies.at(static_cast<std::size_t>(registration)); }
    RecordingHandler& Handler(int h) { return m_handlers[h]; }
    // What happened since the last step began, or since construction: the agent calls the runner's
    // hooks saw and the handler callbacks.
    std::vector<Event> Events() { return Flush(); }
    std::vector<XWrappedVQException> Collected() { return m_instance.ExceptionLogger().Read().Errors(); }

  private:
    void RunStep(const Step& step);
    // Moves the callbacks not yet seen into the events.
    const std::vector<Event>& Flush();
    int Registration(DWORD cookie) const {
        return static_cast<int>(std::find(m_cookies.begin(), m_cookies.end(), cookie) - m_cookies.begin());
    }
    static std::size_t RegistryCallCount() { return errorstate::Calls().size(); }

    const Scenario& m_scenario;
    // Taken while present, so that a step may make it absent for the module.
    XVQErrorStateHandler* const m_errorState;
    Journal m_journal;
    // An array, so that ascending numbers are ascending addresses.
    RecordingHandler m_handlers[kHandlers] = {RecordingHandler(m_journal), RecordingHandler(m_journal),
                                              RecordingHandler(m_journal), RecordingHandler(m_journal)};
    XEmergencyHandlerInstance m_instance{[](XEmergencyHandlerInstance&) {}};
    std::vector<ATL::CComPtr<TestAgent>> m_agents;  // by registration
    std::vector<DWORD> m_cookies;                   // by registration, ascending
    std::vector<Event> m_events;
    std::size_t m_callbacksSeen = 0;  // journal entries already in m_events
};

// Runs the scenario with a fresh runner; skips the calling test when the scenario fixes tick counts
// and the platform cannot.
void RunScenario(const Scenario& scenario);

using PassesTest = ModuleTest;

}  // namespace vqtest::scenario

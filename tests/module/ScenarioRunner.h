// Table-driven tests of the worker's two passes.
//
// A Scenario is a set of registrations (each a list of handlers of a shared pool) and a table of
// steps. Each step scripts what every registration's agent answers during one worker cycle (state
// pass, then failover pass), optionally fixes the tick count and changes the error state, and lists
// exactly what must happen in that cycle, in order: handler callbacks, agent calls and failover
// registry calls. It may also list the errors the exception logger collected (line, HRESULT) and
// the records left in the registry.
//
// The runner:
// - works on an instance of its own, never the process-wide one, whose worker start does nothing;
//   Init() runs (unless the scenario says the identity is missing) with the computer name "PASSES-HOST"
//   where the identity seam exists;
// - numbers registrations 0.. in ascending cookie order and handlers 0..kHandlers-1 in ascending
//   address order, so a table reads in the order the passes walk;
// - builds the registrations through AddHandler with a null handler and then gives each record the
//   handler entries of the table (AddHandler would make one registration per handler);
// - runs the passes on the calling thread; the fixture below prepares that thread (COM in the
//   multithreaded apartment) and the process-wide seams, and restores them afterwards;
// - merges the separate records of handlers, agents and the failover registry into one order by
//   noting, at every agent call, how many callbacks and registry calls came before it (callbacks
//   and registry calls between two agent calls are listed callbacks first);
// - takes the error state's failover registry while it is present (the fixture makes it so) and
//   reads its calls through it also while a step makes the error state absent;
// - revokes every cookie it registered when it is destroyed, also those the passes dropped.
// A step that gives no tick count leaves the clock as the previous step left it; a registration
// without answers in a step keeps those of its previous step.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <utility>
#include <ostream>
#include <vector>

#include "VQError/VQError.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"
#include "vqplatform/testing.h"
#include "xemergencyhandlerinstance.h"

namespace vqtest::scenario {

inline constexpr int kHandlers = 4;
// A null handler pointer in a registration's handler list.
inline constexpr int kNullHandler = -1;

enum class EventKind {
    OnServerEmergencyState,
    OnAgentError,
    OnClientEmergencyFailover,
    GetServerEmergencyState,
    GetEmergencyConfiguration,
    RequestClientEmergencyFailover,
    FailoverRegistryCall,
};

// One thing that happened in a cycle. `who` is the handler for callbacks, the registration for
// agent and registry calls. Arguments: OnServerEmergencyState (state, mode); OnAgentError (kind,
// 0); OnClientEmergencyFailover (value, registration); RequestClientEmergencyFailover (process id,
// 1 when the computer name was the instance's); FailoverRegistryCall (call kind, client id).
struct Event {
    EventKind kind;
    int who;
    DWORD first;
    DWORD second;

    bool operator==(const Event& other) const {
        return kind == other.kind && who == other.who && first == other.first && second == other.second;
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
    return {EventKind::OnClientEmergencyFailover, handler,
            static_cast<DWORD>(VQEmergency::kFailoverRequested), static_cast<DWORD>(registration)};
}
inline Event GetState(int registration) {
    return {EventKind::GetServerEmergencyState, registration, 0, 0};
}
inline Event GetConfig(int registration) {
    return {EventKind::GetEmergencyConfiguration, registration, 0, 0};
}
// With the process id and computer name the instance recorded (filled in by the runner).
inline Event Request(int registration) {
    return {EventKind::RequestClientEmergencyFailover, registration, 0, 1};
}

// Words of the tables.
inline constexpr LONG kNormal = VQEmergency::kModeNormal;
inline constexpr LONG kEmergency = VQEmergency::kModeEmergency;
inline constexpr DWORD kCommunication = VQEmergency::kAgentErrorCommunication;
inline constexpr DWORD kOther = VQEmergency::kAgentErrorOther;
// States with bit 0x4 are emergencies.
inline constexpr ConfigurationAnswer kMask4 = {S_OK, 1, 0x4};
// A failover request the server accepts.
inline constexpr FailoverAnswer kAccepted = {S_OK, 0};
inline constexpr HRESULT kRpcDisconnected = static_cast<HRESULT>(0x80010108);       // facility RPC
inline constexpr HRESULT kRpcServerUnavailable = static_cast<HRESULT>(0x800706BA);  // Win32 error 1722
inline constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005);

// What one registration's agent answers during a cycle.
struct Answers {
    StateAnswer state;
    ConfigurationAnswer configuration = {};
    FailoverAnswer failover = {};
};

// An error collected by the exception logger.
struct Report {
    unsigned line;
    HRESULT hr;

    bool operator==(const Report& other) const { return line == other.line && hr == other.hr; }
};
std::ostream& operator<<(std::ostream& out, const Report& report);

// A record left in the registry after a cycle.
struct Record {
    int registration;
    DWORD lastState;
    bool emergency;
    DWORD startTick;
    LONG failoverMark;

    bool operator==(const Record& other) const {
        return registration == other.registration && lastState == other.lastState &&
               emergency == other.emergency && startTick == other.startTick &&
               failoverMark == other.failoverMark;
    }
};
std::ostream& operator<<(std::ostream& out, const Record& record);

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
    std::vector<Report> reports = {};
    // When set: exactly the records left, in ascending cookie order.
    std::optional<std::vector<Record>> records = std::nullopt;
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

// True when a step fixes the tick count (the clock seam is then needed).
bool NeedsClockSeam(const Scenario& scenario);

class ScenarioRunner {
  public:
    explicit ScenarioRunner(const Scenario& scenario);
    ~ScenarioRunner();
    ScenarioRunner(const ScenarioRunner&) = delete;
    ScenarioRunner& operator=(const ScenarioRunner&) = delete;

    // Runs every step, each checked with EXPECTs under a trace naming the step.
    void Run();

    XEmergencyHandlerInstance& Instance() { return m_instance; }
    DWORD Cookie(int registration) const { return m_cookies.at(static_cast<std::size_t>(registration)); }

  private:
    struct Mark {
        int registration;
        std::size_t callbacks;
        std::size_t registryCalls;
    };

    void RunStep(const Step& step);
    std::vector<Event> Merge(const std::vector<std::size_t>& agentCallsBefore,
                             std::size_t registryCallsBefore);
    std::vector<XVQErrorStateHandler::XClientEmergencyFailoverHandler::Call> RegistryCalls() const;
    int RegistrationOf(DWORD cookie) const;
    std::vector<Record> Records();

    const Scenario& m_scenario;
    // Taken while present; a step may make it absent for the module.
    XVQErrorStateHandler* const m_errorState;
    Journal m_journal;
    // An array, so that ascending numbers are ascending addresses.
    RecordingHandler m_handlers[kHandlers] = {
        RecordingHandler(m_journal, "h0"), RecordingHandler(m_journal, "h1"),
        RecordingHandler(m_journal, "h2"), RecordingHandler(m_journal, "h3")};
    XEmergencyHandlerInstance m_instance{[](XEmergencyHandlerInstance&) {}};
    std::vector<ATL::CComPtr<TestAgent>> m_agents;  // by registration
    std::vector<DWORD> m_cookies;                   // by registration, ascending
    std::vector<Mark> m_marks;
};

// Runs the scenario with a fresh runner; skips the calling test when the scenario fixes tick counts
// and the platform cannot.
void RunScenario(const Scenario& scenario);

// Prepares the test thread and the process-wide seams for the passes and restores them.
class PassesTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

  private:
    HRESULT m_coInit = E_FAIL;
};

// For tests that drive the passes by hand: PassesTest with an instance of its own (identity
// recorded, no worker), a pool of kHandlers handlers in ascending address order, and registrations
// made on request. Tear-down revokes every cookie it registered.
class InstancePassesTest : public PassesTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A new agent registered through AddHandler with handlers[first], then the other handlers added
    // to the same record; returns its cookie.
    DWORD Register(const std::vector<int>& handlerNumbers);
    TestAgent& AgentOf(DWORD cookie);
    std::vector<Event> Callbacks(const std::vector<DWORD>& cookies) const;
    std::vector<XWrappedVQException> Collected() { return instance.ExceptionLogger().Read().Errors(); }

    Journal journal;
    RecordingHandler handlers[kHandlers] = {RecordingHandler(journal, "h0"), RecordingHandler(journal, "h1"),
                                            RecordingHandler(journal, "h2"), RecordingHandler(journal, "h3")};
    XEmergencyHandlerInstance instance{[](XEmergencyHandlerInstance&) {}};
    std::vector<std::pair<DWORD, ATL::CComPtr<TestAgent>>> agents;
};

}  // namespace vqtest::scenario

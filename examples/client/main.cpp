// vqdemo_client: a client process that loads VQProcessStateHandler64 to watch over the demo's agent
// server. It registers two server emergency handlers with an agent for the server (our TCP agent
// proxy, or on Windows with --com the COM proxy of the COM local server's agent), announces a
// client connection id for each, and prints every callback with a timestamp, the thread it ran on
// and what it means. It ends by itself once every handler has lost its server (or after
// --max-seconds), deregistering what it registered.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "VQError/XVQLogBook.h"
#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"
#include "agent_proxy/XAgentProxy.h"
#if defined(_WIN32)
#include "com/DemoClass.h"
#endif
#include "protocol/text.h"
#include "vqplatform/platform.h"

namespace {

using vqdemo::PrintLine;

constexpr const char* kUsage =
    "usage: vqdemo_client --port N [--timeout-ms MS] [--max-seconds S] [--log-book syslog|stderr|none]\n"
#if defined(_WIN32)
    "       vqdemo_client --com [--class-id {CLSID}] [--max-seconds S] [--log-book ...]\n"
    "  --com             the agent of the COM local server vqdemo_com_server, by CoCreateInstance\n"
    "  --class-id CLSID  its class (default: the demo's)\n"
#endif
    "  --port N          the agent server's port on 127.0.0.1\n"
    "  --timeout-ms MS   the agent proxy's per-call time-out (default 2000)\n"
    "  --max-seconds S   end after S seconds at the latest (default 120)\n"
    "  --log-book SINK   where the library's log book goes (default: the system log)\n";

// Which handlers have lost their server; the main thread waits for all of them.
class Progress {
  public:
    explicit Progress(std::size_t handlers) : m_handlers(handlers) {}
    void ServerLost(const std::string& handler) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lost.insert(handler);
        m_changed.notify_all();
    }
    // True when every handler has lost its server within `timeout`.
    bool WaitAllLost(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [this] { return m_lost.size() == m_handlers; });
    }

  private:
    const std::size_t m_handlers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::string> m_lost;
};

class XDemoHandler : public XClientEmergencyHandler {
  public:
    XDemoHandler(std::string name, DWORD mainThread, Progress& progress)
        : m_name(std::move(name)), m_mainThread(mainThread), m_progress(progress) {}

    void OnServerEmergencyState(DWORD serverEmergencyState, LONG emergencyMode) override {
        const std::string state = std::to_string(serverEmergencyState);
        Print(
            "OnServerEmergencyState(" + state + ", " + std::to_string(emergencyMode) + ")",
            emergencyMode == VQEmergency::kModeEmergency
                ? "the server is now in state " + state +
                      ", an EMERGENCY per its emergency configuration (mode 2); the library asks the server "
                      "to fail this client over"
                : "the server is now in state " + state + ", not an emergency (mode " +
                      std::to_string(emergencyMode) + ")");
    }

    void OnAgentError(DWORD agentErrorKind) override {
        Print("OnAgentError(" + std::to_string(agentErrorKind) + ")",
              agentErrorKind == VQEmergency::kAgentErrorCommunication
                  ? "the server cannot be reached (communication failure, kind 1); the library has dropped "
                    "this registration and will not call this handler again for it"
                  : "the agent failed (kind " + std::to_string(agentErrorKind) +
                        "); the library has dropped this registration, or its worker has ended");
        m_progress.ServerLost(m_name);
    }

    void OnClientEmergencyFailover(LONG failover, DWORD registrationCookie) override {
        Print("OnClientEmergencyFailover(" + std::to_string(failover) + ", " +
                  std::to_string(registrationCookie) + ")",
              "the server accepted the emergency failover of this client process for registration " +
                  std::to_string(registrationCookie) + "; time to move to the standby server");
    }

  private:
    void Print(const std::string& call, const std::string& meaning) {
        const DWORD thread = GetCurrentThreadId();
        PrintLine(m_name + ": " + call + " on thread " + std::to_string(thread) +
                  (thread == m_mainThread ? " (main thread)" : " (library worker)") + ": " + meaning);
    }

    const std::string m_name;
    const DWORD m_mainThread;
    Progress& m_progress;
};

// The agent behind our TCP agent proxy for the server on `port`.
HRESULT ConnectOverTcp(unsigned long port, unsigned long timeoutMs,
                       ATL::CComPtr<IVQServerEmergencyAgent>& agent, std::string* where) {
    ATL::CComPtr<vqdemo::XAgentProxy> proxy;
    const HRESULT created = vqdemo::XAgentProxy::Create(static_cast<std::uint16_t>(port), &proxy);
    if (SUCCEEDED(created)) {
        proxy->SetCallTimeout(static_cast<DWORD>(timeoutMs));
        agent = proxy->AsAgent();
    }
    *where = "agent server at 127.0.0.1:" + std::to_string(port);
    return created;
}

#if defined(_WIN32)
// The COM proxy of the agent that the local server of `classId` hands out (COM starts the server
// from its LocalServer32 entry when it does not run yet).
HRESULT ConnectOverCom(const CLSID& classId, ATL::CComPtr<IVQServerEmergencyAgent>& agent,
                       std::string* where) {
    *where = "COM local server of class " + vqdemo::Utf8FromWide(vqdemo::ClassIdText(classId));
    return CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IVQServerEmergencyAgent),
                            reinterpret_cast<void**>(&agent));
}
#endif

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
        return false;
    }
    *value = std::stoul(text);
    return *value <= max;
}

struct Options {
    unsigned long port = 0;
    unsigned long timeoutMs = vqdemo::XAgentProxy::kDefaultCallTimeoutMs;
    unsigned long maxSeconds = 120;
    bool overCom = false;  // Windows only: --com
#if defined(_WIN32)
    CLSID classId = vqdemo::kDemoClassId;
#endif
};

// Applies one option with its value; false when the option is unknown or its value bad. `takesValue`
// says whether the value was used (a flag uses none).
bool ApplyOption(const std::string& arg, const std::string& value, Options* options, bool* takesValue) {
    *takesValue = true;
#if defined(_WIN32)
    if (arg == "--com") {
        *takesValue = false;
        options->overCom = true;
        return true;
    }
    if (arg == "--class-id") {
        return vqdemo::ParseClassId(value, &options->classId);
    }
#endif
    if (arg == "--port") {
        return ParseUnsigned(value, 65535, &options->port) && options->port != 0;
    }
    if (arg == "--timeout-ms") {
        return ParseUnsigned(value, 600000, &options->timeoutMs);
    }
    if (arg == "--max-seconds") {
        return ParseUnsigned(value, 86400, &options->maxSeconds);
    }
    if (arg == "--log-book" && (value == "syslog" || value == "stderr" || value == "none")) {
        XVQLogBook::SetSink(value == "syslog"   ? XVQLogBook::Sink::Syslog
                            : value == "stderr" ? XVQLogBook::Sink::Stderr
                                                : XVQLogBook::Sink::None);
        return true;
    }
    return false;
}

// The options of the command line; on --help or a bad command line, the exit code instead.
std::optional<int> ParseCommandLine(int argc, char** argv, Options* options) {
    int i = 1;
    while (i < argc) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        const bool hasValue = i + 1 < argc;
        bool takesValue = true;
        if (!ApplyOption(arg, hasValue ? argv[i + 1] : "", options, &takesValue) ||
            (takesValue && !hasValue)) {
            std::cerr << "vqdemo_client: bad or missing value for '" << arg << "'\n" << kUsage;
            return 2;
        }
        i += takesValue ? 2 : 1;
    }
    if (!options->overCom && options->port == 0) {
        std::cerr << "vqdemo_client: --port is required\n" << kUsage;
        return 2;
    }
    return std::nullopt;
}

// The agent for the server the options name, with a description of where it is.
HRESULT Connect(const Options& options, ATL::CComPtr<IVQServerEmergencyAgent>& agent, std::string* where) {
#if defined(_WIN32)
    if (options.overCom) {
        return ConnectOverCom(options.classId, agent, where);
    }
#endif
    return ConnectOverTcp(options.port, options.timeoutMs, agent, where);
}

// Prints the server's identity as its agent reports it; keeps the identity interface in `identityAgent`.
void PrintServerIdentity(IVQServerEmergencyAgent* agent, ATL::CComPtr<IVQServerIdentity>& identityAgent) {
    ServerIdentity identity{};
    HRESULT known = agent->QueryInterface(IID_IVQServerIdentity, reinterpret_cast<void**>(&identityAgent));
    if (SUCCEEDED(known)) {
        known = identityAgent->GetServerIdentity(&identity);
    }
    if (SUCCEEDED(known) && identity.serverName != nullptr) {
        PrintLine("server '" +
                  vqdemo::Utf8FromWide(std::wstring(identity.serverName, SysStringLen(identity.serverName))) +
                  "' (id " + std::to_string(identity.serverId) + ")");
        SysFreeString(identity.serverName);
    } else {
        PrintLine("the server does not answer (" + vqdemo::HexText(static_cast<std::uint32_t>(known)) +
                  "); registering all the same");
    }
}

using Registrations = std::vector<std::pair<XDemoHandler*, LONG>>;

bool Register(const Registrations& registrations, const ATL::CComPtr<IVQServerEmergencyAgent>& agent) {
    try {
        for (const auto& [handler, connectionId] : registrations) {
            XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(handler, agent);
            XVQProcessEmergencyHandler::RegisterClientConnectionId(handler, connectionId);
        }
    } catch (...) {
        PrintLine("registering with the library failed", stderr);
        return false;
    }
    PrintLine(
        "registered handler A (client connection id 101) and handler B (client connection id 102); the "
        "library's worker polls the server every 10 s, the first time about 10 s from now");
    return true;
}

// Waits until every handler has lost its server, a stop signal or the time limit; true for the first.
bool WaitForTheEnd(Progress& progress, unsigned long maxSeconds) {
    vqdemo::CatchStopSignals();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
    bool allLost = false;
    while (!allLost && !vqdemo::StopSignalled() && std::chrono::steady_clock::now() < end) {
        allLost = progress.WaitAllLost(std::chrono::milliseconds(100));
    }
    PrintLine(allLost ? "every handler has lost its server; deregistering and ending"
                      : (vqdemo::StopSignalled() ? "interrupted; deregistering and ending"
                                                 : "time is up; deregistering and ending"));
    return allLost;
}

void Deregister(const Registrations& registrations) {
    for (const auto& [handler, connectionId] : registrations) {
        XVQProcessEmergencyHandler::DeregisterClientConnectionId(handler, connectionId);
        XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(handler);
    }
}

// Registers two handlers with the agent, each with a client connection id, and watches until the
// end; the exit code of the run.
int Watch(const ATL::CComPtr<IVQServerEmergencyAgent>& agent, DWORD mainThread, unsigned long maxSeconds) {
    Progress progress(2);
    XDemoHandler handlerA("handler A", mainThread, progress);
    XDemoHandler handlerB("handler B", mainThread, progress);
    const Registrations registrations = {{&handlerA, 101}, {&handlerB, 102}};
    if (!Register(registrations, agent)) {
        return 1;
    }
    const bool allLost = WaitForTheEnd(progress, maxSeconds);
    Deregister(registrations);
    return allLost ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::optional<int> exitCode = ParseCommandLine(argc, argv, &options)) {
        return *exitCode;
    }
    // The library hands the agent to its worker through the Global Interface Table, which needs
    // COM on the registering thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        PrintLine("CoInitializeEx failed: " + vqdemo::HexText(static_cast<std::uint32_t>(com)), stderr);
        return 1;
    }
    // Held until the handlers are deregistered. Over COM, the worker (in this multithreaded apartment
    // too) then gets this very proxy from the Global Interface Table, and a killed server shows up
    // as failed calls rather than as a failed lookup.
    ATL::CComPtr<IVQServerEmergencyAgent> agent;
    std::string where;
    const HRESULT created = Connect(options, agent, &where);
    if (FAILED(created)) {
        PrintLine("cannot reach the " + where + ": " + vqdemo::HexText(static_cast<std::uint32_t>(created)),
                  stderr);
        return 1;
    }
    const DWORD mainThread = GetCurrentThreadId();
    PrintLine("client process " + std::to_string(GetCurrentProcessId()) + ", main thread " +
              std::to_string(mainThread) + "; " + where);
    ATL::CComPtr<IVQServerIdentity> identityAgent;
    PrintServerIdentity(agent, identityAgent);
    const int exitCode = Watch(agent, mainThread, options.maxSeconds);
    identityAgent.Release();
    agent.Release();
    CoUninitialize();
    return exitCode;
}

// vqdemo_agent_server: a server process that hosts a server emergency agent and serves it to agent
// proxies on a loopback TCP port. Its state follows a script on the command line and commands on
// standard input. Every line it prints starts with a timestamp; the first line is
// "<timestamp> port <N>", so that a script can read the port.
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_server/XAgentServer.h"
#include "agent_server/XDemoServerAgent.h"
#include "protocol/text.h"

namespace {

using vqdemo::PrintLine;

constexpr const char* kUsage =
    "usage: vqdemo_agent_server [--port N] [--script STEPS] [--server-id N] [--server-name NAME]\n"
    "  --port N         loopback TCP port to serve on; 0 (default) picks a free one\n"
    "  --script STEPS   state changes, comma-separated: normal:SECONDS, emergency:SECONDS,\n"
    "                   STATE:SECONDS (a number) or stop; a last step without :SECONDS holds\n"
    "                   e.g. --script \"normal:12,emergency:30,stop\"\n"
    "  --server-id N, --server-name NAME   the identity the agent reports\n"
    "standard input: state N | normal | emergency | status | quit\n";

struct Step {
    bool stop = false;
    DWORD state = 0;
    std::optional<std::chrono::milliseconds> duration;
};

// The end of the program: asked for by the script, a command or a signal.
class Control {
  public:
    void Quit(const std::string& reason) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_quit) {
            m_quit = true;
            m_reason = reason;
        }
        m_changed.notify_all();
    }
    // True when the end was asked for within `timeout`.
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [this] { return m_quit; });
    }
    std::string Reason() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reason;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_quit = false;
    std::string m_reason;
};

volatile std::sig_atomic_t g_signalled = 0;

extern "C" void OnSignal(int) {
    g_signalled = 1;
}

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) {
        return false;
    }
    unsigned long long result = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * (hex ? 16 : 10) + digit;
        if (result > max) {
            return false;
        }
    }
    *value = result;
    return true;
}

bool ParseState(const std::string& text, DWORD* state) {
    if (text == "normal") {
        *state = vqdemo::kNormalState;
        return true;
    }
    if (text == "emergency") {
        *state = vqdemo::kEmergencyState;
        return true;
    }
    unsigned long long value = 0;
    if (!ParseNumber(text, 0xFFFFFFFFull, &value)) {
        return false;
    }
    *state = static_cast<DWORD>(value);
    return true;
}

bool ParseSeconds(const std::string& text, std::chrono::milliseconds* duration) {
    std::istringstream in(text);
    double seconds = -1;
    in >> seconds;
    if (!in || !in.eof() || seconds < 0 || seconds > 24 * 3600) {
        return false;
    }
    *duration = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    return true;
}

bool ParseScript(const std::string& text, std::vector<Step>* steps, std::string* error) {
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        Step step;
        const std::size_t colon = item.find(':');
        const std::string what = item.substr(0, colon);
        if (what == "stop" && colon == std::string::npos) {
            step.stop = true;
        } else if (!ParseState(what, &step.state)) {
            *error = "script step '" + item + "': expected normal, emergency, a state number or stop";
            return false;
        }
        if (colon != std::string::npos) {
            std::chrono::milliseconds duration{};
            if (!ParseSeconds(item.substr(colon + 1), &duration)) {
                *error = "script step '" + item + "': expected seconds after ':'";
                return false;
            }
            step.duration = duration;
        }
        steps->push_back(step);
    }
    if (steps->empty()) {
        *error = "the script is empty";
        return false;
    }
    return true;
}

std::string StateText(vqdemo::XDemoServerAgent& agent) {
    DWORD state = 0;
    agent.GetServerEmergencyState(&state);
    return std::to_string(state) + " (" + agent.Describe(state) + ")";
}

void RunScript(const std::vector<Step>& steps, const ATL::CComPtr<vqdemo::XDemoServerAgent>& agent,
               const std::shared_ptr<Control>& control) {
    for (const Step& step : steps) {
        if (step.stop) {
            control->Quit("the script ends");
            return;
        }
        agent->SetServerEmergencyState(step.state);
        if (!step.duration) {
            return;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%.1f", static_cast<double>(step.duration->count()) / 1000.0);
        PrintLine(std::string("script: next step in ") + seconds + " s");
        if (control->WaitFor(*step.duration)) {
            return;
        }
    }
}

// Reads commands until the end of standard input, which does not end the program: a server
// started in the background keeps serving.
void ReadCommands(ATL::CComPtr<vqdemo::XDemoServerAgent> agent, std::shared_ptr<Control> control) {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        std::string argument;
        in >> command >> argument;
        DWORD state = 0;
        if (command.empty()) {
            continue;
        } else if (command == "quit" || command == "exit") {
            control->Quit("quit was typed");
            return;
        } else if ((command == "normal" || command == "emergency") && ParseState(command, &state)) {
            agent->SetServerEmergencyState(state);
        } else if (command == "state" && ParseState(argument, &state)) {
            agent->SetServerEmergencyState(state);
        } else if (command == "status") {
            PrintLine("state " + StateText(*agent) + ", " + std::to_string(agent->EmergencyClients().size()) +
                      " client(s) failed over in this emergency");
        } else {
            PrintLine("commands: state N | normal | emergency | status | quit");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    vqdemo::XAgentServer::Options options;
    vqdemo::XDemoServerAgent::Settings settings;
    std::vector<Step> steps;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : "";
        unsigned long long number = 0;
        std::string error;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--port" && hasValue && ParseNumber(value, 65535, &number)) {
            options.port = static_cast<std::uint16_t>(number);
        } else if (arg == "--server-id" && hasValue && ParseNumber(value, 0xFFFFFFFFull, &number)) {
            settings.serverId = static_cast<DWORD>(number);
        } else if (arg == "--server-name" && hasValue) {
            settings.serverName = vqdemo::WideFromUtf16(vqdemo::Utf16FromUtf8(value));
        } else if (arg == "--script" && hasValue) {
            if (!ParseScript(value, &steps, &error)) {
                std::cerr << "vqdemo_agent_server: " << error << "\n";
                return 2;
            }
        } else {
            std::cerr << "vqdemo_agent_server: bad argument '" << arg << "'\n" << kUsage;
            return 2;
        }
        ++i;
    }

    std::string error;
    if (!vqdemo::net::Startup(&error)) {
        PrintLine(error, stderr);
        return 1;
    }
    auto log = [](const std::string& line) { PrintLine(line); };
    const ATL::CComPtr<vqdemo::XDemoServerAgent> agent = vqdemo::XDemoServerAgent::Create(settings, log);
    vqdemo::XAgentServer server(agent->AsAgent(), options, log);
    if (!server.Listen(&error)) {
        PrintLine(error, stderr);
        return 1;
    }
    PrintLine("port " + std::to_string(server.Port()));
    server.Start();
    PrintLine("agent server on 127.0.0.1:" + std::to_string(server.Port()) + ": server '" +
              vqdemo::Utf8FromWide(settings.serverName) + "' (id " + std::to_string(settings.serverId) +
              "), state " + StateText(*agent) +
              "; emergency configuration: activation 1, emergency state mask 0x2");

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    auto control = std::make_shared<Control>();
    std::thread script([&steps, &agent, &control] { RunScript(steps, agent, control); });
    // Detached: a read of standard input cannot be interrupted portably. It holds what it uses.
    std::thread(ReadCommands, agent, control).detach();

    while (!control->WaitFor(std::chrono::milliseconds(100))) {
        if (g_signalled != 0) {
            control->Quit("signal received");
        }
    }
    PrintLine("stopping: " + control->Reason());
    server.Stop();
    script.join();
    PrintLine("stopped");
    return 0;
}

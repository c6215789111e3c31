#include "agent_server/XServerScript.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <thread>

#include "protocol/text.h"

namespace vqdemo {

namespace {

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

}  // namespace

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
        *state = kNormalState;
        return true;
    }
    if (text == "emergency") {
        *state = kEmergencyState;
        return true;
    }
    unsigned long long value = 0;
    if (!ParseNumber(text, 0xFFFFFFFFull, &value)) {
        return false;
    }
    *state = static_cast<DWORD>(value);
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

std::string StateText(XDemoServerAgent& agent) {
    DWORD state = 0;
    agent.GetServerEmergencyState(&state);
    return std::to_string(state) + " (" + agent.Describe(state) + ")";
}

void RunScript(const std::vector<Step>& steps, const ATL::CComPtr<XDemoServerAgent>& agent,
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
void ReadCommands(const ATL::CComPtr<XDemoServerAgent>& agent, const std::shared_ptr<Control>& control) {
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
        } else if (((command == "normal" || command == "emergency") && ParseState(command, &state)) ||
                   (command == "state" && ParseState(argument, &state))) {
            agent->SetServerEmergencyState(state);
        } else if (command == "status") {
            PrintLine("state " + StateText(*agent) + ", " + std::to_string(agent->EmergencyClients().size()) +
                      " client(s) failed over in this emergency");
        } else {
            PrintLine("commands: state N | normal | emergency | status | quit");
        }
    }
}

void Serve(const std::vector<Step>& steps, const ATL::CComPtr<XDemoServerAgent>& agent,
           const std::function<void()>& stopServing) {
    CatchStopSignals();
    auto control = std::make_shared<Control>();
    std::thread script([&steps, &agent, &control] { RunScript(steps, agent, control); });
    // Detached: a read of standard input cannot be interrupted portably. It holds what it uses.
    std::thread(ReadCommands, agent, control).detach();
    while (!control->WaitFor(std::chrono::milliseconds(100))) {
        if (StopSignalled()) {
            control->Quit("signal received");
        }
    }
    PrintLine("stopping: " + control->Reason());
    stopServing();
    script.join();
}

bool TakeServerOption(const std::string& option, const std::string& value,
                      XDemoServerAgent::Settings* settings, std::vector<Step>* steps, std::string* error) {
    unsigned long long number = 0;
    if (option == "--server-id") {
        if (!ParseNumber(value, 0xFFFFFFFFull, &number)) {
            *error = "bad argument '" + option + "'";
        }
        settings->serverId = static_cast<DWORD>(number);
    } else if (option == "--server-name") {
        settings->serverName = WideFromUtf16(Utf16FromUtf8(value));
    } else if (option == "--script") {
        ParseScript(value, steps, error);
    } else {
        return false;
    }
    return true;
}

std::string ServerDescription(const XDemoServerAgent::Settings& settings, XDemoServerAgent& agent) {
    return "server '" + Utf8FromWide(settings.serverName) + "' (id " + std::to_string(settings.serverId) +
           "), state " + StateText(agent) +
           "; emergency configuration: activation 1, emergency state mask 0x2";
}

}  // namespace vqdemo

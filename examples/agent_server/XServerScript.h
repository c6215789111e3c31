// The demo server's scripted behaviour, shared by its TCP server (vqdemo_agent_server) and its COM
// local server (vqdemo_com_server): a script of state changes from the command line, run against the
// agent, and the commands typed on standard input.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent_server/XDemoServerAgent.h"

namespace vqdemo {

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

// A number, decimal or 0x-hexadecimal, not above `max`.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* value);
// "normal", "emergency" or a state number.
bool ParseState(const std::string& text, DWORD* state);
// Comma-separated steps: normal:SECONDS, emergency:SECONDS, STATE:SECONDS or stop.
bool ParseScript(const std::string& text, std::vector<Step>* steps, std::string* error);
// "<state> (normal|emergency)" for the agent's current state.
std::string StateText(XDemoServerAgent& agent);
// Takes --server-id N, --server-name NAME or --script STEPS: false for any other option; true with
// `error` set for a bad value.
bool TakeServerOption(const std::string& option, const std::string& value,
                      XDemoServerAgent::Settings* settings, std::vector<Step>* steps, std::string* error);
// "server 'NAME' (id N), state S; emergency configuration: ..." for the start-up line.
std::string ServerDescription(const XDemoServerAgent::Settings& settings, XDemoServerAgent& agent);
// Applies the steps in turn until the script ends, a stop step quits or `control` is told to quit.
void RunScript(const std::vector<Step>& steps, const ATL::CComPtr<XDemoServerAgent>& agent,
               const std::shared_ptr<Control>& control);
// Reads commands until the end of standard input, which does not end the program: a server
// started in the background keeps serving.
void ReadCommands(const ATL::CComPtr<XDemoServerAgent>& agent, const std::shared_ptr<Control>& control);
// Runs the script and the commands until one of them or a stop signal ends the server, then calls
// `stopServing` (after which the agent's clients' calls fail) before the script's thread is joined.
void Serve(const std::vector<Step>& steps, const ATL::CComPtr<XDemoServerAgent>& agent,
           const std::function<void()>& stopServing);

}  // namespace vqdemo

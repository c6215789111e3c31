// vqdemo_agent_server: a server process that hosts a server emergency agent and serves it to agent
// proxies on a loopback TCP port. Its state follows a script on the command line and commands on
// standard input. Every line it prints starts with a timestamp; the first line is
// "<timestamp> port <N>", so that a script can read the port.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "agent_server/XAgentServer.h"
#include "agent_server/XDemoServerAgent.h"
#include "agent_server/XServerScript.h"
#include "protocol/text.h"

namespace {

using vqdemo::ParseNumber;
using vqdemo::PrintLine;
using vqdemo::Step;

constexpr const char* kUsage =
    "usage: vqdemo_agent_server [--port N] [--script STEPS] [--server-id N] [--server-name NAME]\n"
    "  --port N         loopback TCP port to serve on; 0 (default) picks a free one\n"
    "  --script STEPS   state changes, comma-separated: normal:SECONDS, emergency:SECONDS,\n"
    "                   STATE:SECONDS (a number) or stop; a last step without :SECONDS holds\n"
    "                   e.g. --script \"normal:12,emergency:30,stop\"\n"
    "  --server-id N, --server-name NAME   the identity the agent reports\n"
    "standard input: state N | normal | emergency | status | quit\n";

}  // namespace

int main(int argc, char** argv) {
    vqdemo::XAgentServer::Options options;
    vqdemo::XDemoServerAgent::Settings settings;
    std::vector<Step> steps;
    for (int i = 1; i < argc; i += 2) {  // every option takes a value
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
        } else if (hasValue && vqdemo::TakeServerOption(arg, value, &settings, &steps, &error)) {
            if (!error.empty()) {
                std::cerr << "vqdemo_agent_server: " << error << "\n";
                return 2;
            }
        } else {
            std::cerr << "vqdemo_agent_server: bad argument '" << arg << "'\n" << kUsage;
            return 2;
        }
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
    PrintLine("agent server on 127.0.0.1:" + std::to_string(server.Port()) + ": " +
              vqdemo::ServerDescription(settings, *agent));
    vqdemo::Serve(steps, agent, [&server] { server.Stop(); });
    PrintLine("stopped");
    return 0;
}

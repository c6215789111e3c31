// The client example of README.md, compiled and run as it stands there, and a check that the README
// still shows this very code.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "VQError/VQError.h"
#include "support/TestAgent.h"

// README example begin
#include <atomic>

#include <VQProcessStateHandler/XVQProcessEmergencyHandler.h>

// Called back on the library's worker thread, hence the atomics.
class ServerWatch : public XClientEmergencyHandler {
  public:
    void OnServerEmergencyState(DWORD state, LONG emergencyMode) override {
        lastState = state;
        emergency = emergencyMode == VQEmergency::kModeEmergency;
    }
    void OnAgentError(DWORD agentErrorKind) override {
        serverLost = agentErrorKind == VQEmergency::kAgentErrorCommunication;
    }
    void OnClientEmergencyFailover(LONG /*failover*/, DWORD /*registrationCookie*/) override {
        failedOver = true;
    }

    std::atomic<DWORD> lastState{0};
    std::atomic<bool> emergency{false};
    std::atomic<bool> serverLost{false};
    std::atomic<bool> failedOver{false};
};

// `agent` is the server's emergency agent, for example from CoCreateInstance of its class.
void WatchServer(ServerWatch& watch, const ATL::CComPtr<IVQServerEmergencyAgent>& agent, LONG connectionId) {
    XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(&watch, agent);
    XVQProcessEmergencyHandler::RegisterClientConnectionId(&watch, connectionId);
}

void StopWatching(ServerWatch& watch, LONG connectionId) {
    XVQProcessEmergencyHandler::DeregisterClientConnectionId(&watch, connectionId);
    XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&watch);
}
// README example end

namespace vqtest {
namespace {

TEST(ReadmeExampleTest, WatchesAndStopsWatchingAServer) {
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    XVQErrorStateHandler::SetInstanceAbsent(false);
    const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto agent = TestAgent::Create();
    ServerWatch watch;
    WatchServer(watch, agent->AsAgent(), 4);
    EXPECT_EQ(agent->RefCount(), 2u);  // ours and the table's
    StopWatching(watch, 4);
    EXPECT_EQ(agent->RefCount(), 1u);
    XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Reset();
    if (SUCCEEDED(coInit)) {
        CoUninitialize();
    }
}

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The text strictly between the first `begin` and the `end` after it; empty when either is missing.
std::string Between(const std::string& text, const std::string& begin, const std::string& end) {
    const std::size_t from = text.find(begin);
    const std::size_t to = from == std::string::npos ? from : text.find(end, from + begin.size());
    return to == std::string::npos ? std::string()
                                   : text.substr(from + begin.size(), to - from - begin.size());
}

TEST(ReadmeExampleTest, ReadmeShowsThisCode) {
    const std::string self = __FILE__;
    const std::size_t tests = self.rfind("tests");
    const std::string readme = ReadFile(self.substr(0, tests) + "README.md");
    if (tests == std::string::npos || readme.empty()) {
        GTEST_SKIP() << "the source tree is not reachable from here";
    }
    const std::string code = Between(ReadFile(self), "// README example begin\n", "// README example end\n");
    const std::string shown =
        Between(Between(readme, "<!-- client-example -->", "<!-- /client-example -->"), "```cpp\n", "```\n");
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(shown, code);
}

}  // namespace
}  // namespace vqtest

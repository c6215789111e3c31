// The agent proxy against a real agent server over 127.0.0.1, in one process: the library's calls
// reach the agent and come back, a lost or refusing server gives the HRESULT of Windows RPC that the
// library takes for a communication failure, and the server bounds the connections it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "agent_proxy/XAgentProxy.h"
#include "agent_server/XAgentServer.h"
#include "agent_server/XDemoServerAgent.h"
#include "protocol/socket.h"

#if defined(_WIN32)
#include <oleauto.h>
#endif

namespace {

using ATL::CComPtr;
using namespace vqdemo;

// The server's log, kept for a test to look at.
class LogLines {
  public:
    XAgentServer::Log Sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        };
    }
    bool Has(const std::string& part) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::any_of(m_lines.begin(), m_lines.end(),
                           [&](const std::string& line) { return line.find(part) != std::string::npos; });
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

TEST(Loopback, ProxyCallsARealServerAndReportsItsLossAsServerUnavailable) {
    ASSERT_TRUE(net::Startup(nullptr));
    const CComPtr<XDemoServerAgent> agent = XDemoServerAgent::Create({});
    XAgentServer server(agent->AsAgent(), {});
    std::string error;
    ASSERT_TRUE(server.Listen(&error)) << error;
    server.Start();
    CComPtr<XAgentProxy> proxy;
    ASSERT_EQ(XAgentProxy::Create(server.Port(), &proxy), S_OK);

    DWORD state = 0;
    ASSERT_EQ(proxy->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(state, kNormalState);

    EmergencyConfiguration configuration{{0xDEADBEEF, 7}, 1, 0x80000002};
    ASSERT_EQ(proxy->SetEmergencyConfiguration(&configuration), S_OK);
    EmergencyConfiguration back{};
    ASSERT_EQ(proxy->GetEmergencyConfiguration(&back), S_OK);
    EXPECT_EQ(back.serverData[0], 0xDEADBEEFu);
    EXPECT_EQ(back.serverData[1], 7u);
    EXPECT_EQ(back.activation, 1);
    EXPECT_EQ(back.emergencyStateMask, 0x80000002u);

    // A failover request in an emergency reaches the agent with the client's name, and back.
    const std::wstring name = L"CLIENT-\u00e9\U0001D11E";
    ASSERT_EQ(proxy->SetServerEmergencyState(kEmergencyState), S_OK);
    BSTR computer = SysAllocString(name.c_str());
    LONG result = -1;
    EXPECT_EQ(proxy->RequestClientEmergencyFailover(4321, computer, &result), S_OK);
    SysFreeString(computer);
    EXPECT_EQ(result, 0);
    const auto clients = agent->EmergencyClients();
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0], std::make_pair(DWORD{4321}, name));
    DWORD processId = 0;
    BSTR named = nullptr;
    ASSERT_EQ(proxy->GetEmergencyClient(0, &processId, &named), S_OK);
    EXPECT_EQ(std::wstring(named, SysStringLen(named)), name);
    SysFreeString(named);

    // The server goes away: first its idle connection breaks, then nobody listens.
    server.Stop();
    EXPECT_EQ(proxy->GetServerEmergencyState(&state), HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(proxy->RequestClientEmergencyFailover(4321, nullptr, &result),
              HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
}

TEST(Loopback, ServerRefusesConnectionsItHasNoRoomOrThreadForAndKeepsAccepting) {
    ASSERT_TRUE(net::Startup(nullptr));
    const CComPtr<XDemoServerAgent> agent = XDemoServerAgent::Create({});
    XAgentServer::Options options;
    options.maxConnections = 1;
    bool failNextStart = true;  // used by the accepting thread only
    options.startThread = [&failNextStart](std::function<void()> body) {
        if (std::exchange(failNextStart, false)) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
    };
    LogLines log;
    XAgentServer server(agent->AsAgent(), options, log.Sink());
    std::string error;
    ASSERT_TRUE(server.Listen(&error)) << error;
    server.Start();
    CComPtr<XAgentProxy> first;
    CComPtr<XAgentProxy> second;
    ASSERT_EQ(XAgentProxy::Create(server.Port(), &first), S_OK);
    ASSERT_EQ(XAgentProxy::Create(server.Port(), &second), S_OK);
    const HRESULT tooBusy = HRESULT_FROM_WIN32(1723);  // RPC_S_SERVER_TOO_BUSY

    // The first connection gets no thread; the second is served and stays open, filling the server.
    DWORD state = 0;
    EXPECT_EQ(first->GetServerEmergencyState(&state), tooBusy);
    EXPECT_EQ(first->GetServerEmergencyState(&state), S_OK);
    EXPECT_EQ(second->GetServerEmergencyState(&state), tooBusy);
    EXPECT_TRUE(log.Has("connection #1 refused: its thread cannot start"));
    EXPECT_TRUE(log.Has("connection #3 refused: 1 connections are served already"));
}

TEST(Loopback, ServerClosesAnIdleConnection) {
    ASSERT_TRUE(net::Startup(nullptr));
    const CComPtr<XDemoServerAgent> agent = XDemoServerAgent::Create({});
    XAgentServer::Options options;
    options.idleTimeout = std::chrono::milliseconds(100);
    XAgentServer server(agent->AsAgent(), options);
    std::string error;
    ASSERT_TRUE(server.Listen(&error)) << error;
    server.Start();
    net::Socket socket;
    int code = 0;
    ASSERT_EQ(net::Connect(server.Port(), net::DeadlineIn(std::chrono::seconds(10)), &socket, &code),
              net::Status::Ok);
    std::uint8_t byte = 0;
    const net::IoResult io = net::ReceiveAll(socket, &byte, 1, net::DeadlineIn(std::chrono::seconds(10)));
    EXPECT_EQ(io.status, net::Status::Closed);
    EXPECT_EQ(io.done, 0u);
}

}  // namespace

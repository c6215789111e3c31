// The agent proxy against a real agent server over 127.0.0.1, in one process: the library's calls
// reach the agent and come back, a lost or refusing server gives the HRESULT of Windows RPC that the
// library takes for a communication failure, and the server and its agent bound what clients can
// make them hold.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

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
    std::mutex logMutex;
    std::string log;
    XAgentServer server(agent->AsAgent(), options, [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        log += line + "\n";
    });
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
    std::lock_guard<std::mutex> lock(logMutex);
    EXPECT_NE(log.find("connection #1 refused: its thread cannot start"), std::string::npos) << log;
    EXPECT_NE(log.find("connection #3 refused: 1 connections are served already"), std::string::npos) << log;
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

TEST(DemoServerAgent, KeepsTheMostRecentFailedOverClientsWithCutComputerNames) {
    const CComPtr<XDemoServerAgent> agent = XDemoServerAgent::Create({});
    ASSERT_EQ(agent->SetServerEmergencyState(kEmergencyState), S_OK);
    const std::wstring longName(XDemoServerAgent::kMaxComputerNameLength + 100, L'n');
    BSTR name = SysAllocStringLen(longName.data(), static_cast<UINT>(longName.size()));
    const DWORD requests = XDemoServerAgent::kMaxEmergencyClients + 1;
    for (DWORD processId = 1; processId <= requests; ++processId) {
        LONG result = -1;
        ASSERT_EQ(agent->RequestClientEmergencyFailover(processId, name, &result), S_OK);
        ASSERT_EQ(result, 0);
    }
    auto clients = agent->EmergencyClients();
    ASSERT_EQ(clients.size(), XDemoServerAgent::kMaxEmergencyClients);
    EXPECT_EQ(clients.front().first, 2u);
    EXPECT_EQ(clients.back().first, requests);
    EXPECT_EQ(clients.back().second, longName.substr(0, XDemoServerAgent::kMaxComputerNameLength));

    // The client withdraws with the name it sent.
    EXPECT_EQ(agent->CancelClientEmergencyFailover(requests, name), S_OK);
    SysFreeString(name);
    EXPECT_EQ(agent->EmergencyClients().size(), XDemoServerAgent::kMaxEmergencyClients - 1);
}

}  // namespace

// The agent proxy against a real agent server over 127.0.0.1, in one process: the library's calls
// reach the agent and come back, and a lost server gives the HRESULT of Windows RPC that the library
// takes for a communication failure.
#include <gtest/gtest.h>

#include <string>
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

}  // namespace

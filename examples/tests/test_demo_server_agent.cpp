// The demo server's agent keeps a bounded record of the clients that failed over, however many ask
// and however long their computer names.
#include <gtest/gtest.h>

#include <string>

#include "agent_server/XDemoServerAgent.h"

#if defined(_WIN32)
#include <oleauto.h>
#endif

namespace {

using vqdemo::XDemoServerAgent;

TEST(DemoServerAgent, KeepsTheMostRecentFailedOverClientsWithCutComputerNames) {
    const ATL::CComPtr<XDemoServerAgent> agent = XDemoServerAgent::Create({});
    ASSERT_EQ(agent->SetServerEmergencyState(vqdemo::kEmergencyState), S_OK);
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

// The exported functions, called as a client of the shared library calls them: registrations reach
// the agent's table entry and the failover registry, and the library's errors arrive as
// XWrappedVQException that client code can catch.
#include <gtest/gtest.h>

#include "VQError/VQError.h"
#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"

namespace vqtest {
namespace {

using FailoverCallKind = XVQErrorStateHandler::XClientEmergencyFailoverHandler::CallKind;

class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQErrorStateHandler::SetInstanceAbsent(false);
        Failover().Reset();
        m_coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&handler);
        Failover().Reset();
        if (SUCCEEDED(m_coInit)) {
            CoUninitialize();
        }
    }

    static XVQErrorStateHandler::XClientEmergencyFailoverHandler& Failover() {
        return XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler();
    }

    Journal journal;
    RecordingHandler handler{journal};

  private:
    HRESULT m_coInit = E_FAIL;
};

TEST_F(ApiTest, RegistrationHoldsTheAgentInTheTableUntilDeregistration) {
    auto agent = TestAgent::Create(IdentityMode::Named, 12, L"server-E2E");
    XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(&handler, agent->AsAgent());
    EXPECT_EQ(agent->RefCount(), 2u);  // ours and the table's
    EXPECT_EQ(agent->CallCount(AgentMethod::GetServerIdentity), 1u);

    XVQProcessEmergencyHandler::RegisterClientConnectionId(&handler, 11);
    XVQProcessEmergencyHandler::DeregisterClientConnectionId(&handler, 11);
    XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&handler);

    EXPECT_EQ(agent->RefCount(), 1u);  // revoked from the table
    EXPECT_EQ(journal.Count(), 0u);    // registering calls nothing back
}

TEST_F(ApiTest, RegistrationsReachTheFailoverRegistry) {
#if defined(_WIN32)
    GTEST_SKIP() << "on Windows the DLL holds its own copy of the error component";
#endif
    auto agent = TestAgent::Create(IdentityMode::Named, 12, L"server-E2E");
    XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(&handler, agent->AsAgent());
    XVQProcessEmergencyHandler::RegisterClientConnectionId(&handler, 11);
    XVQProcessEmergencyHandler::DeregisterClientConnectionId(&handler, 11);
    XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&handler);

    const auto calls = Failover().Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, FailoverCallKind::Register);
    EXPECT_EQ(calls[0].clientId, 11);
    EXPECT_EQ(calls[0].serverId, 12);
    EXPECT_EQ(calls[0].serverName.ToWString(), L"server-E2E");
    EXPECT_EQ(calls[1].kind, FailoverCallKind::Deregister);
    EXPECT_EQ(calls[2].kind, FailoverCallKind::RemoveServerEmergencyHandler);
    EXPECT_NE(calls[0].cookie, 0u);
    EXPECT_EQ(calls[1].cookie, calls[0].cookie);
    EXPECT_EQ(calls[2].cookie, calls[0].cookie);
}

TEST_F(ApiTest, ClientCatchesTheErrorOfAnIdForAnUnregisteredHandler) {
    try {
        XVQProcessEmergencyHandler::RegisterClientConnectionId(&handler, 5);
        FAIL() << "an id for an unregistered handler was accepted";
    } catch (const XWrappedVQException& error) {
        ASSERT_FALSE(error.IsEmpty());
        EXPECT_EQ(error->HResult(), E_FAIL);
        EXPECT_EQ(error->Location().Line(), 470u);
        EXPECT_EQ(error->Message().ToWString(),
                  L"client emergency handler for the client connection registration request missing");
    }
    // Deregistering what is not registered is nothing.
    EXPECT_NO_THROW(XVQProcessEmergencyHandler::DeregisterClientConnectionId(&handler, 5));
    EXPECT_NO_THROW(XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&handler));
}

}  // namespace
}  // namespace vqtest

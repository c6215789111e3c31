// The exported functions, called as a client of the shared library calls them: a registration
// reaches the agent's table entry and the failover registry, and the library's errors arrive as
// XWrappedVQException that client code can catch.
#include <gtest/gtest.h>

#include "VQError/VQError.h"
#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"

namespace vqtest {
namespace {

using Api = XVQProcessEmergencyHandler;

class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQErrorStateHandler::SetInstanceAbsent(false);
        XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Reset();
        m_coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        Api::DeregisterServerEmergencyHandler(&handler);
        if (SUCCEEDED(m_coInit)) {
            CoUninitialize();
        }
    }

    Journal journal;
    RecordingHandler handler{journal};

  private:
    HRESULT m_coInit = E_FAIL;
};

TEST_F(ApiTest, RegistrationReachesTheTableAndTheFailoverRegistry) {
    auto agent = TestAgent::Create(IdentityMode::Named, 12, L"server-E2E");
    Api::RegisterServerEmergencyHandler(&handler, agent->AsAgent());
    EXPECT_EQ(agent->RefCount(), 2u);  // ours and the table's
    Api::RegisterClientConnectionId(&handler, 11);
    Api::DeregisterClientConnectionId(&handler, 11);
    Api::DeregisterServerEmergencyHandler(&handler);
    EXPECT_EQ(agent->RefCount(), 1u);  // revoked from the table

    // The module's calls reach the error component the client sees: register, deregister, removal.
    EXPECT_EQ(XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Calls().size(), 3u);

    // And its reports reach the client's log book: an identity that cannot be read is logged.
    XVQLogBook::Clear();
    auto throwing = TestAgent::Create(IdentityMode::Throwing);
    Api::RegisterServerEmergencyHandler(&handler, throwing->AsAgent());
    EXPECT_FALSE(XVQLogBook::Entries().empty());
}

TEST_F(ApiTest, ErrorsReachTheClientAsXWrappedVQException) {
    EXPECT_THROW(Api::RegisterServerEmergencyHandler(&handler, nullptr), XWrappedVQException);
    EXPECT_THROW(Api::RegisterClientConnectionId(&handler, 5), XWrappedVQException);
    // Deregistering what is not registered is nothing.
    EXPECT_NO_THROW(Api::DeregisterClientConnectionId(&handler, 5));
    EXPECT_NO_THROW(Api::DeregisterServerEmergencyHandler(&handler));
}

}  // namespace
}  // namespace vqtest

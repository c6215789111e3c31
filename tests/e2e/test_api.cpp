// The whole system through the exported functions, called as a client of the shared library calls
// them, with the process's own worker and its real 10-second cycle: one test, bounded by the first
// cycle that sees the registrations. The registrations reach the agents' table entries and the
// failover registry of the client's error component, and the library's errors arrive as
// XWrappedVQException that client code can catch.
#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"
#include "support/ModuleTest.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"

namespace vqtest {
namespace {

using namespace std::chrono_literals;
using Api = XVQProcessEmergencyHandler;

class ApiTest : public ModuleTest {
  protected:
    void TearDown() override {
        Api::DeregisterServerEmergencyHandler(&handler);
        Api::DeregisterServerEmergencyHandler(&other);
        ModuleTest::TearDown();
    }

    Journal journal;
    RecordingHandler handler{journal};
    RecordingHandler other{journal};
};

TEST_F(ApiTest, TheWorkerReportsEmergencyFailoverAndLostServerToTheHandlers) {
    auto emergency = TestAgent::Create();
    emergency->State().SetDefault({S_OK, 5});
    emergency->Configuration().SetDefault({S_OK, 1, 4});
    emergency->Failover().SetDefault({S_OK, 0});
    auto lost = TestAgent::Create();
    lost->State().SetDefault({HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), 0});
    Api::RegisterServerEmergencyHandler(&handler, emergency->AsAgent());
    Api::RegisterServerEmergencyHandler(&other, lost->AsAgent());
    Api::RegisterClientConnectionId(&other, 8);
    EXPECT_EQ(emergency->RefCount(), 2u);  // ours and the table's
    EXPECT_EQ(errorstate::Calls().size(), 1u);
    EXPECT_THROW(Api::RegisterServerEmergencyHandler(&handler, nullptr), XWrappedVQException);

    // The first cycle after the registrations comes within one interval.
    ASSERT_TRUE(journal.WaitForCount(3, 25s)) << "no cycle within 25 s";
    const auto watched = handler.Events();
    ASSERT_EQ(watched.size(), 2u);
    EXPECT_EQ(std::make_tuple(watched[0].slot, watched[0].first, watched[0].second),
              std::make_tuple(HandlerSlot::ServerEmergencyState, 5u, 2u));
    EXPECT_EQ(std::make_tuple(watched[1].slot, watched[1].first),
              std::make_tuple(HandlerSlot::ClientEmergencyFailover, 2u));
    EXPECT_NE(watched[1].second, 0u) << "the registration cookie";
    const auto calls = emergency->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(std::make_tuple(calls.back().method, calls.back().processId),
              std::make_tuple(AgentMethod::RequestClientEmergencyFailover, GetCurrentProcessId()));
    const auto lostEvents = other.Events();
    ASSERT_EQ(lostEvents.size(), 1u);
    EXPECT_EQ(std::make_tuple(lostEvents[0].slot, lostEvents[0].first),
              std::make_tuple(HandlerSlot::AgentError, 1u));
    EXPECT_NE(lostEvents[0].threadId, GetCurrentThreadId());
    // The failed agent's registration is gone: the handler is unknown now.
    try {
        Api::RegisterClientConnectionId(&other, 9);
        ADD_FAILURE() << "an id was accepted for a dropped registration";
    } catch (XWrappedVQException& e) {
        ASSERT_FALSE(e.IsEmpty());
        EXPECT_EQ(e->Location().Line(), 470u);
    }
    // Withdrawing an id reaches the failover registry under the cookie; for a handler without
    // registration neither deregistration does anything.
    const std::size_t failoverCalls = errorstate::Calls().size();
    Api::DeregisterClientConnectionId(&other, 8);
    Api::DeregisterServerEmergencyHandler(&other);
    Api::DeregisterClientConnectionId(&handler, 8);
    const auto failover = errorstate::Calls();
    ASSERT_EQ(failover.size(), failoverCalls + 1);
    EXPECT_EQ(std::make_tuple(failover.back().kind, failover.back().cookie, failover.back().clientId),
              std::make_tuple(errorstate::CallKind::Deregister, watched[1].second, 8));
    Api::DeregisterServerEmergencyHandler(&handler);
    EXPECT_EQ(emergency->RefCount(), 1u) << "revoked from the table";
}

}  // namespace
}  // namespace vqtest

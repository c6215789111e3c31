// RemoveHandler goes straight to the handler's registrations (through the instance's handler
// index) and keeps the order and effects of a walk over the registry, also after the state pass
// has dropped some of them.
#include <algorithm>
#include <vector>

#include "ScenarioRunner.h"

namespace vqtest::scenario {
namespace {

using FailoverCall = XVQErrorStateHandler::XClientEmergencyFailoverHandler::Call;
using FailoverCallKind = XVQErrorStateHandler::XClientEmergencyFailoverHandler::CallKind;

using RemoveHandlerTest = InstancePassesTest;

std::vector<DWORD> RemovedCookies() {
    std::vector<DWORD> cookies;
    for (const FailoverCall& call :
         XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Calls()) {
        EXPECT_EQ(call.kind, FailoverCallKind::RemoveServerEmergencyHandler);
        cookies.push_back(call.cookie);
    }
    return cookies;
}

bool InTable(XEmergencyHandlerInstance& instance, DWORD cookie) {
    try {
        return instance.GetServerEmergencyAgentFromGIT(cookie) != nullptr;
    } catch (const XWrappedVQException&) {
        return false;
    }
}

TEST_F(RemoveHandlerTest, RemovesOnlyTheHandlersRegistrationsInAscendingCookieOrder) {
    std::vector<DWORD> mine;
    std::vector<DWORD> others;
    for (int i = 0; i < 6; ++i) {
        (i % 2 == 0 ? mine : others).push_back(Register({i % 2 == 0 ? 0 : 1}));
    }
    // Handler 0 also shares a registration with handler 2, which keeps it.
    const DWORD shared = Register({0, 2});
    std::sort(mine.begin(), mine.end());

    instance.RemoveHandler(&handlers[0]);

    EXPECT_EQ(RemovedCookies(), mine);
    const auto registry = instance.ClientHandlers().Read();
    ASSERT_EQ(registry.size(), others.size() + 1);
    for (const DWORD cookie : others) {
        EXPECT_EQ(registry.at(cookie).m_handlers.count(&handlers[1]), 1u);
        EXPECT_TRUE(InTable(instance, cookie));
    }
    EXPECT_EQ(registry.at(shared).m_handlers.size(), 1u);
    EXPECT_EQ(registry.at(shared).m_handlers.count(&handlers[2]), 1u);
    for (const DWORD cookie : mine) {
        EXPECT_FALSE(InTable(instance, cookie));
    }

    // Nothing of handler 0 is left to find.
    instance.RemoveHandler(&handlers[0]);
    EXPECT_EQ(RemovedCookies(), mine);
}

TEST_F(RemoveHandlerTest, RegistrationDroppedByTheStatePassIsNotRemovedAgain) {
    const DWORD failing = Register({0});
    const DWORD kept = Register({0});
    AgentOf(failing).State().SetDefault({kRpcServerUnavailable, 0});

    instance.HandleServerEmergencyState();
    ASSERT_EQ(instance.ClientHandlers().Read().count(failing), 0u);
    instance.RemoveHandler(&handlers[0]);

    EXPECT_EQ(RemovedCookies(), std::vector<DWORD>{kept});
    EXPECT_TRUE(instance.ClientHandlers().Read().empty());
    // The dropped registration's agent stays in the table; the removed one's is revoked.
    EXPECT_TRUE(InTable(instance, failing));
    EXPECT_FALSE(InTable(instance, kept));
}

TEST_F(RemoveHandlerTest, HandlerRegisteredAgainAfterItsRemovalIsRemovedAgain) {
    const DWORD first = Register({0});
    instance.RemoveHandler(&handlers[0]);
    const DWORD second = Register({0});
    instance.RemoveHandler(&handlers[0]);

    EXPECT_EQ(RemovedCookies(), (std::vector<DWORD>{first, second}));
    EXPECT_TRUE(instance.ClientHandlers().Read().empty());
}

}  // namespace
}  // namespace vqtest::scenario

// Client connection ids: AddClientId files an id under the handler's first registration only,
// RemoveClientId withdraws it from every registration; both keep the failover registry in step.
#include <cstdint>
#include <set>
#include <vector>

#include "test_registration_fixture.h"

namespace vqtest {
namespace {

constexpr const wchar_t* kMissing =
    L"client emergency handler for the client connection registration request missing";
constexpr const wchar_t* kAddClientId = L"XEmergencyHandlerInstance::AddClientId";

class ClientIdTest : public InstanceTest {
  protected:
    std::set<LONG> IdsOf(DWORD cookie, XClientEmergencyHandler* handler) {
        return Registry().at(cookie).m_handlers.at(handler);
    }
};

void ExpectRegister(const FailoverCall& call, DWORD cookie, LONG id, LONG serverId,
                    const wchar_t* serverName) {
    EXPECT_EQ(call.kind, FailoverCallKind::Register);
    EXPECT_EQ(call.cookie, cookie);
    EXPECT_EQ(call.clientId, id);
    EXPECT_EQ(call.serverId, serverId);
    EXPECT_EQ(call.serverName.ToWString(), serverName);
}

void ExpectDeregister(const FailoverCall& call, DWORD cookie, LONG id) {
    EXPECT_EQ(call.kind, FailoverCallKind::Deregister);
    EXPECT_EQ(call.cookie, cookie);
    EXPECT_EQ(call.clientId, id);
}

TEST_F(ClientIdTest, IdIsStoredAndRegisteredWithTheServerIdentity) {
    auto agent = TestAgent::Create(IdentityMode::Named, 42, L"server-A");
    instance.AddHandler(&handlerA, agent->AsAgent());
    const DWORD cookie = Cookies().at(0);

    instance.AddClientId(&handlerA, 7);

    EXPECT_EQ(IdsOf(cookie, &handlerA), std::set<LONG>{7});
    const auto calls = Failover().Calls();
    ASSERT_EQ(calls.size(), 1u);
    ExpectRegister(calls[0], cookie, 7, 42, L"server-A");
}

TEST_F(ClientIdTest, AgentWithoutIdentityRegistersTheDefaults) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent->AsAgent());
    instance.AddClientId(&handlerA, 7);
    ASSERT_EQ(Failover().Calls().size(), 1u);
    ExpectRegister(Failover().Calls()[0], Cookies().at(0), 7, -1, L"");
}

TEST_F(ClientIdTest, SameIdTwiceIsStoredOnceAndRegisteredTwice) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent->AsAgent());
    instance.AddClientId(&handlerA, 7);
    instance.AddClientId(&handlerA, 7);
    EXPECT_EQ(IdsOf(Cookies().at(0), &handlerA), std::set<LONG>{7});
    EXPECT_EQ(Failover().Calls().size(), 2u);
}

TEST_F(ClientIdTest, RegisteringReachesTheFirstRegistrationOnlyDeregisteringReachesAll) {
    auto agentOne = TestAgent::Create(IdentityMode::Named, 1, L"one");
    auto agentTwo = TestAgent::Create(IdentityMode::Named, 2, L"two");
    instance.AddHandler(&handlerA, agentOne->AsAgent());
    instance.AddHandler(&handlerA, agentTwo->AsAgent());
    const std::vector<DWORD> cookies = Cookies();
    ASSERT_EQ(cookies.size(), 2u);

    instance.AddClientId(&handlerA, 7);
    EXPECT_EQ(IdsOf(cookies[0], &handlerA), std::set<LONG>{7});
    EXPECT_TRUE(IdsOf(cookies[1], &handlerA).empty());
    ASSERT_EQ(Failover().Calls().size(), 1u);
    ExpectRegister(Failover().Calls()[0], cookies[0], 7, 1, L"one");

    Failover().Reset();
    instance.RemoveClientId(&handlerA, 7);
    EXPECT_TRUE(IdsOf(cookies[0], &handlerA).empty());
    const auto calls = Failover().Calls();
    ASSERT_EQ(calls.size(), 2u);
    ExpectDeregister(calls[0], cookies[0], 7);
    ExpectDeregister(calls[1], cookies[1], 7);
}

TEST_F(ClientIdTest, DeregisteringAnUnknownIdStillReachesEveryRegistration) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent->AsAgent());
    instance.AddHandler(&handlerA, agent->AsAgent());
    instance.AddHandler(&handlerB, agent->AsAgent());
    const std::vector<DWORD> cookies = Cookies();

    instance.RemoveClientId(&handlerA, 99);

    const auto calls = Failover().Calls();
    ASSERT_EQ(calls.size(), 2u);
    ExpectDeregister(calls[0], cookies[0], 99);
    ExpectDeregister(calls[1], cookies[1], 99);
}

TEST_F(ClientIdTest, IdForAnUnregisteredHandlerIsRefusedAndChangesNothing) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent->AsAgent());
    instance.AddClientId(&handlerA, 1);
    Failover().Reset();
    const auto before = Registry();

    ExpectModuleError([&] { instance.AddClientId(&handlerB, 7); },
                      {470, E_FAIL, XVQEXCEP::SEVERITY_WARNING, kMissing, kAddClientId});
    instance.RemoveClientId(&handlerB, 7);

    const auto after = Registry();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.begin()->first, before.begin()->first);
    EXPECT_EQ(after.begin()->second.m_handlers, before.begin()->second.m_handlers);
    EXPECT_TRUE(Failover().Calls().empty());
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(ClientIdTest, IdIsRefusedOnceTheHandlerIsDeregistered) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent->AsAgent());
    instance.AddClientId(&handlerA, 7);
    instance.RemoveHandler(&handlerA);

    // The server deregistration dropped the id without deregistering it one by one.
    const auto calls = Failover().Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, FailoverCallKind::Register);
    EXPECT_EQ(calls[1].kind, FailoverCallKind::RemoveServerEmergencyHandler);

    ExpectModuleError([&] { instance.AddClientId(&handlerA, 7); },
                      {470, E_FAIL, XVQEXCEP::SEVERITY_WARNING, kMissing, kAddClientId});
}

TEST_F(ClientIdTest, WithoutErrorStateTheIdsChangeAndTheRegistryIsNotCalled) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent->AsAgent());
    const DWORD cookie = Cookies().at(0);
    XVQErrorStateHandler::SetInstanceAbsent(true);
    instance.AddClientId(&handlerA, 7);
    instance.AddClientId(&handlerA, 8);
    instance.RemoveClientId(&handlerA, 7);
    XVQErrorStateHandler::SetInstanceAbsent(false);

    EXPECT_EQ(IdsOf(cookie, &handlerA), std::set<LONG>{8});
    EXPECT_TRUE(Failover().Calls().empty());
}

TEST_F(ClientIdTest, IdsAreSigned32BitValuesPassedUnchanged) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent->AsAgent());
    const DWORD cookie = Cookies().at(0);
    instance.AddClientId(&handlerA, INT32_MAX);
    instance.AddClientId(&handlerA, INT32_MIN);
    instance.AddClientId(&handlerA, -1);

    EXPECT_EQ(IdsOf(cookie, &handlerA), (std::set<LONG>{INT32_MIN, -1, INT32_MAX}));
    const auto calls = Failover().Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].clientId, INT32_MAX);
    EXPECT_EQ(calls[1].clientId, INT32_MIN);
    EXPECT_EQ(calls[2].clientId, -1);
}

}  // namespace
}  // namespace vqtest

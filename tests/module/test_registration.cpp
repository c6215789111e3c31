// Server registrations: AddHandler and RemoveHandler with the agents' Global Interface Table
// entries, the server identity, and the table operations behind them.
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "test_registration_fixture.h"

namespace vqtest {
namespace {

using vqplatform::testing::FailNext;
using vqplatform::testing::FaultInjectionSupported;
using vqplatform::testing::Operation;

constexpr const wchar_t* kAddHandler = L"XEmergencyHandlerInstance::AddHandler";
constexpr const wchar_t* kRegisterInGIT = L"XEmergencyHandlerInstance::RegisterInGIT";
constexpr const wchar_t* kGetFromGIT = L"XEmergencyHandlerInstance::GetServerEmergencyAgentFromGIT";
constexpr const wchar_t* kGetFailed = L"GetInterfaceFromGlobal IVQServerEmergencyAgent failed";

// A cookie the table never gave in these tests.
constexpr DWORD kUnknownCookie = 0xFFFFFFF0;

using RegistrationTest = InstanceTest;

TEST_F(RegistrationTest, NewRegistrationHoldsTheDefaults) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);

    const auto registry = Registry();
    ASSERT_EQ(registry.size(), 1u);
    const DWORD cookie = registry.begin()->first;
    EXPECT_NE(cookie, 0u);
    const XEmergencyHandlerInstance::XClientHandler& record = registry.begin()->second;
    ASSERT_EQ(record.m_handlers.size(), 1u);
    EXPECT_EQ(record.m_handlers.begin()->first, &handlerA);
    EXPECT_TRUE(record.m_handlers.begin()->second.empty());
    EXPECT_EQ(record.m_dwLastServerState, 0xFFFFFFFFu);
    EXPECT_EQ(record.m_lFailoverMark, 0);
    EXPECT_FALSE(record.m_bEmergency);
    EXPECT_EQ(record.m_dwEmergencyStartTick, 0u);
    EXPECT_EQ(record.m_serverIdentity.m_dwServerId, 0xFFFFFFFFu);
    EXPECT_TRUE(record.m_serverIdentity.m_bstrServerName.IsEmpty());

    // The agent is in the table under the cookie; nothing was reported, no callback, no agent call.
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(cookie).p, agent->AsAgent().p);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
    EXPECT_TRUE(Failover().Calls().empty());
    EXPECT_EQ(journal.Count(), 0u);
    EXPECT_TRUE(agent->Calls().empty());
}

TEST_F(RegistrationTest, ServerIdentityIsCopiedFromTheAgent) {
    auto agent = TestAgent::Create(IdentityMode::Named, 42, L"server-A");
    instance.AddHandler(&handlerA, agent.p);
    const auto registry = Registry();
    const auto& identity = registry.begin()->second.m_serverIdentity;
    EXPECT_EQ(identity.m_dwServerId, 42u);
    EXPECT_EQ(identity.m_bstrServerName.ToWString(), L"server-A");
    EXPECT_EQ(agent->CallCount(AgentMethod::GetServerIdentity), 1u);
}

TEST_F(RegistrationTest, NullServerNameKeepsTheDefaultIdentityAndItsIdIsIgnored) {
    auto agent = TestAgent::Create(IdentityMode::NullName, 42);
    instance.AddHandler(&handlerA, agent.p);
    const auto registry = Registry();
    const auto& identity = registry.begin()->second.m_serverIdentity;
    EXPECT_EQ(identity.m_dwServerId, 0xFFFFFFFFu);
    EXPECT_TRUE(identity.m_bstrServerName.IsEmpty());
    EXPECT_EQ(agent->CallCount(AgentMethod::GetServerIdentity), 1u);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(RegistrationTest, ThrowingIdentityIsLoggedAndTheRegistrationIsMade) {
    auto agent = TestAgent::Create(IdentityMode::Throwing, 42, L"server-A");
    instance.AddHandler(&handlerA, agent.p);

    const auto registry = Registry();
    ASSERT_EQ(registry.size(), 1u);
    EXPECT_EQ(registry.begin()->second.m_serverIdentity.m_dwServerId, 0xFFFFFFFFu);
    EXPECT_TRUE(registry.begin()->second.m_serverIdentity.m_bstrServerName.IsEmpty());
    const auto entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].kind, XVQLogEntry::Kind::StdException);
    EXPECT_EQ(entries[0].line, 414u);
    EXPECT_EQ(entries[0].function, kAddHandler);
    EXPECT_EQ(entries[0].message, L"server identity unavailable");
    // The identity interface taken for the call was released again.
    EXPECT_EQ(agent->RefCount(), 2u);
}

TEST_F(RegistrationTest, DoubleRegistrationGivesTwoCookiesAndOneRemovalRemovesBoth) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    instance.AddHandler(&handlerA, agent.p);
    const std::vector<DWORD> cookies = Cookies();
    ASSERT_EQ(cookies.size(), 2u);
    EXPECT_NE(cookies[0], cookies[1]);
    EXPECT_EQ(agent->RefCount(), 3u);  // ours and one per table entry

    instance.RemoveHandler(&handlerA);

    EXPECT_TRUE(Registry().empty());
    const auto calls = Failover().Calls();
    ASSERT_EQ(calls.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(calls[i].kind, FailoverCallKind::RemoveServerEmergencyHandler);
        EXPECT_EQ(calls[i].cookie, cookies[i]);
        ExpectModuleError([&] { instance.GetServerEmergencyAgentFromGIT(cookies[i]); },
                          {342, E_INVALIDARG, XVQEXCEP::SEVERITY_SEVERE, kGetFailed, kGetFromGIT});
    }
    EXPECT_EQ(agent->RefCount(), 1u);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(RegistrationTest, RemovingOneOfTwoHandlersOfAnAgentLeavesTheOtherRegistration) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    instance.AddHandler(&handlerB, agent.p);
    const std::vector<DWORD> cookies = Cookies();
    ASSERT_EQ(cookies.size(), 2u);

    instance.RemoveHandler(&handlerA);

    const auto registry = Registry();
    ASSERT_EQ(registry.size(), 1u);
    EXPECT_EQ(registry.begin()->first, cookies[1]);
    EXPECT_EQ(registry.begin()->second.m_handlers.count(&handlerB), 1u);
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(cookies[1]).p, agent->AsAgent().p);
    ASSERT_EQ(Failover().Calls().size(), 1u);
    EXPECT_EQ(Failover().Calls()[0].cookie, cookies[0]);
}

TEST_F(RegistrationTest, RegistrationWithAnotherHandlerLeftIsKeptWhole) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    const DWORD cookie = Cookies().at(0);
    instance.ClientHandlers().GetProxy()->at(cookie).m_handlers[&handlerB].insert(9);

    instance.RemoveHandler(&handlerA);

    const auto registry = Registry();
    ASSERT_EQ(registry.size(), 1u);
    const auto& handlers = registry.at(cookie).m_handlers;
    ASSERT_EQ(handlers.size(), 1u);
    EXPECT_EQ(handlers.begin()->first, &handlerB);
    EXPECT_EQ(handlers.begin()->second, std::set<LONG>{9});
    EXPECT_TRUE(Failover().Calls().empty());
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(cookie).p, agent->AsAgent().p);
}

TEST_F(RegistrationTest, RemovingAnUnknownHandlerChangesAndReportsNothing) {
    instance.RemoveHandler(&handlerA);
    EXPECT_TRUE(Registry().empty());

    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    const auto before = Registry();
    instance.RemoveHandler(&handlerB);
    instance.RemoveHandler(nullptr);

    ASSERT_EQ(Registry().size(), before.size());
    EXPECT_EQ(Registry().begin()->first, before.begin()->first);
    EXPECT_TRUE(Failover().Calls().empty());
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(RegistrationTest, NullHandlerIsRegisteredAndRemovedLikeAnyOther) {
    auto agent = TestAgent::Create();
    instance.AddHandler(nullptr, agent.p);
    ASSERT_EQ(Registry().size(), 1u);
    EXPECT_EQ(Registry().begin()->second.m_handlers.count(nullptr), 1u);

    instance.RemoveHandler(nullptr);
    EXPECT_TRUE(Registry().empty());
    EXPECT_EQ(agent->RefCount(), 1u);
}

TEST_F(RegistrationTest, NullAgentIsRefusedByTheTableAndNothingIsRecorded) {
    ExpectModuleError([&] { instance.AddHandler(&handlerA, ATL::CComPtr<IVQServerEmergencyAgent>()); },
                      {380, E_INVALIDARG, XVQEXCEP::SEVERITY_WARNING,
                       L"RegisterInterfaceInGlobal IVQServerEmergencyAgent failed", kRegisterInGIT});
    EXPECT_TRUE(Registry().empty());
    // The table stays created: a lookup now reaches it.
    EXPECT_THROW(instance.GetServerEmergencyAgentFromGIT(kUnknownCookie), XWrappedVQException);
}

TEST_F(RegistrationTest, FailingTableCreationRegistersNothing) {
    if (!FaultInjectionSupported(Operation::GitCreate)) {
        GTEST_SKIP() << "table creation cannot fail on demand here";
    }
    auto agent = TestAgent::Create(IdentityMode::Named, 1, L"s");
    FailNext(Operation::GitCreate, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    ExpectModuleError([&] { instance.AddHandler(&handlerA, agent.p); },
                      {367, E_OUTOFMEMORY, XVQEXCEP::SEVERITY_SEVERE,
                       L"CoCreateInstance IID_IGlobalInterfaceTable failed", kRegisterInGIT});
    EXPECT_TRUE(Registry().empty());
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(kUnknownCookie), nullptr);  // still no table
    EXPECT_TRUE(agent->Calls().empty());
    EXPECT_EQ(agent->RefCount(), 1u);

    // The next registration creates the table.
    instance.AddHandler(&handlerA, agent.p);
    EXPECT_EQ(Registry().size(), 1u);
}

TEST_F(RegistrationTest, FailingTableRegistrationRecordsNothing) {
    if (!FaultInjectionSupported(Operation::GitRegister)) {
        GTEST_SKIP() << "table registration cannot fail on demand here";
    }
    auto agent = TestAgent::Create(IdentityMode::Named, 1, L"s");
    FailNext(Operation::GitRegister, 1, static_cast<DWORD>(RPC_E_SERVERFAULT));
    ExpectModuleError([&] { instance.AddHandler(&handlerA, agent.p); },
                      {380, RPC_E_SERVERFAULT, XVQEXCEP::SEVERITY_WARNING,
                       L"RegisterInterfaceInGlobal IVQServerEmergencyAgent failed", kRegisterInGIT});
    EXPECT_TRUE(Registry().empty());
    EXPECT_TRUE(agent->Calls().empty());
    EXPECT_EQ(agent->RefCount(), 1u);
}

TEST_F(RegistrationTest, FailedRegistrationLosesNothingRegisteredBefore) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    const DWORD cookie = Cookies().at(0);
    EXPECT_THROW(instance.AddHandler(&handlerA, ATL::CComPtr<IVQServerEmergencyAgent>()),
                 XWrappedVQException);
    ASSERT_EQ(Cookies(), std::vector<DWORD>{cookie});
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(cookie).p, agent->AsAgent().p);
}

TEST_F(RegistrationTest, CookieZeroIsNeverLookedUp) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    if (!FaultInjectionSupported(Operation::GitGet)) {
        EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(0), nullptr);
        return;
    }
    // An armed lookup fault survives cookie 0: the table was not asked.
    FailNext(Operation::GitGet, 1, static_cast<DWORD>(E_UNEXPECTED));
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(0), nullptr);
    ExpectModuleError([&] { instance.GetServerEmergencyAgentFromGIT(Cookies().at(0)); },
                      {342, E_UNEXPECTED, XVQEXCEP::SEVERITY_SEVERE, kGetFailed, kGetFromGIT});
}

TEST_F(RegistrationTest, FetchedAgentOwnsExactlyTheTablesNewReference) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    const ULONG before = agent->RefCount();
    {
        ATL::CComPtr<IVQServerEmergencyAgent> fetched =
            instance.GetServerEmergencyAgentFromGIT(Cookies().at(0));
        EXPECT_EQ(agent->RefCount(), before + 1);
    }
    EXPECT_EQ(agent->RefCount(), before);
}

TEST_F(RegistrationTest, FetchIsUsableOnAnotherThread) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    const DWORD cookie = Cookies().at(0);
    DWORD state = 0;
    HRESULT hr = E_FAIL;
    agent->State().Queue({S_OK, 0x10});
    std::thread worker([&] {
        const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ATL::CComPtr<IVQServerEmergencyAgent> fetched = instance.GetServerEmergencyAgentFromGIT(cookie);
            hr = fetched->GetServerEmergencyState(&state);
        }
        if (SUCCEEDED(coInit)) {
            CoUninitialize();
        }
    });
    worker.join();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(state, 0x10u);
    ASSERT_EQ(agent->Calls().size(), 1u);
    EXPECT_NE(agent->Calls()[0].threadId, GetCurrentThreadId());
}

TEST_F(RegistrationTest, RemovalWithoutErrorStateStillRevokesAndErases) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    const DWORD cookie = Cookies().at(0);
    XVQErrorStateHandler::SetInstanceAbsent(true);
    instance.RemoveHandler(&handlerA);
    XVQErrorStateHandler::SetInstanceAbsent(false);

    EXPECT_TRUE(Registry().empty());
    EXPECT_TRUE(Failover().Calls().empty());
    EXPECT_THROW(instance.GetServerEmergencyAgentFromGIT(cookie), XWrappedVQException);
    EXPECT_EQ(agent->RefCount(), 1u);
}

TEST_F(RegistrationTest, ReleasedTableIsRecreatedByTheNextRegistration) {
    auto agent = TestAgent::Create();
    instance.AddHandler(&handlerA, agent.p);
    const DWORD first = Cookies().at(0);
    instance.ReleaseGIT();
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(first), nullptr);

    instance.AddHandler(&handlerB, agent.p);
    const DWORD second = Cookies().at(1);
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(second).p, agent->AsAgent().p);
    // Releasing the table revoked nothing.
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(first).p, agent->AsAgent().p);
}

TEST_F(RegistrationTest, ConcurrentRegistrationsAndRemovalsLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    auto agent = TestAgent::Create(IdentityMode::Named, 3, L"server");
    std::vector<std::unique_ptr<RecordingHandler>> handlers;
    for (int i = 0; i < kThreads; ++i) {
        handlers.push_back(std::make_unique<RecordingHandler>(journal));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < kPerThread; ++n) {
                instance.AddHandler(handlers[i].get(), agent.p);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(Registry().size(), static_cast<std::size_t>(kThreads * kPerThread));

    threads.clear();
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { instance.RemoveHandler(handlers[i].get()); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(Registry().empty());
    EXPECT_EQ(Failover().Calls().size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(agent->RefCount(), 1u);
}

}  // namespace
}  // namespace vqtest

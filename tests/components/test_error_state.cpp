#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "test_error_support.h"

namespace {

using Handler = XVQErrorStateHandler::XClientEmergencyFailoverHandler;
using CallKind = Handler::CallKind;

class ErrorStateTest : public vqtest::ErrorComponentTest {
  protected:
    Handler& failover() { return XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler(); }
};

TEST_F(ErrorStateTest, FailoverRegistryKeepsRegistrationsPerCookieAndRecordsEveryCall) {
    Handler& registry = failover();
    registry.Register(5, 10, 1, XVQComBSTR(L"srv-a"));
    registry.Register(5, 11, 2, XVQComBSTR(L"srv-b"));  // a later Register updates the identity
    registry.Register(6, 10, 3, XVQComBSTR(L"srv-c"));
    registry.Deregister(5, 10);
    registry.Deregister(9, 1);  // unknown cookie: only recorded

    auto registrations = registry.Registrations();
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_EQ(registrations[5].serverId, 2);
    EXPECT_EQ(registrations[5].serverName, XVQComBSTR(L"srv-b"));
    EXPECT_EQ(registrations[5].clientIds, (std::set<LONG>{11}));
    EXPECT_EQ(registrations[6].clientIds, (std::set<LONG>{10}));

    registry.Deregister(5, 11);
    EXPECT_EQ(registry.Registrations().count(5), 1u) << "the last Deregister keeps the registration";
    registry.RemoveServerEmergencyHandler(5);
    registrations = registry.Registrations();
    EXPECT_EQ(registrations.count(5), 0u);
    EXPECT_EQ(registrations.count(6), 1u);

    const std::vector<Handler::Call> calls = registry.Calls();
    ASSERT_EQ(calls.size(), 7u);
    const CallKind kinds[] = {CallKind::Register,
                              CallKind::Register,
                              CallKind::Register,
                              CallKind::Deregister,
                              CallKind::Deregister,
                              CallKind::Deregister,
                              CallKind::RemoveServerEmergencyHandler};
    const DWORD cookies[] = {5, 5, 6, 5, 9, 5, 5};
    const LONG clientIds[] = {10, 11, 10, 10, 1, 11, 0};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].kind, kinds[i]);
        EXPECT_EQ(calls[i].cookie, cookies[i]);
        EXPECT_EQ(calls[i].clientId, clientIds[i]);
    }
    EXPECT_EQ(calls[1].serverId, 2);
    EXPECT_EQ(calls[1].serverName, XVQComBSTR(L"srv-b"));

    EXPECT_EQ(registry.GetUserInteractionTimeout(), 60u);
    registry.SetUserInteractionTimeout(5);
    EXPECT_EQ(registry.GetUserInteractionTimeout(), 5u);
    registry.Reset();
    EXPECT_EQ(registry.GetUserInteractionTimeout(), Handler::kDefaultUserInteractionTimeout);
    EXPECT_TRUE(registry.Registrations().empty());
    EXPECT_TRUE(registry.Calls().empty());
}

TEST_F(ErrorStateTest, InstanceIsProcessWideAndCanBeMadeAbsent) {
    XVQErrorStateHandler* instance = XVQErrorStateHandler::GetInstance();
    ASSERT_NE(instance, nullptr);
    instance->GetClientEmergencyFailoverHandler().SetUserInteractionTimeout(7);
    XVQErrorStateHandler::SetInstanceAbsent(true);
    EXPECT_EQ(XVQErrorStateHandler::GetInstance(), nullptr);
    XVQErrorStateHandler::SetInstanceAbsent(false);
    EXPECT_EQ(XVQErrorStateHandler::GetInstance(), instance);
    EXPECT_EQ(failover().GetUserInteractionTimeout(), 7u) << "the object lives on while absent";
}

TEST_F(ErrorStateTest, ConcurrentRegistrationsAllLand) {
    constexpr int kThreads = 4;
    constexpr LONG kPerThread = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (LONG id = 0; id < kPerThread; ++id) {
                failover().Register(1, t * kPerThread + id, 0, XVQComBSTR(L"srv"));
                if (id % 2 == 1) {
                    failover().Deregister(1, t * kPerThread + id);
                }
                (void)failover().GetUserInteractionTimeout();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto registrations = failover().Registrations();
    ASSERT_EQ(registrations.count(1), 1u);
    EXPECT_EQ(registrations.at(1).clientIds.size(), static_cast<std::size_t>(kThreads * kPerThread / 2));
    EXPECT_EQ(failover().Calls().size(), static_cast<std::size_t>(kThreads * kPerThread * 3 / 2));
}

}  // namespace

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>

#include "test_error_support.h"

namespace {

using namespace XVQEXCEP;
using Handler = XVQErrorStateHandler::XClientEmergencyFailoverHandler;

class ErrorComponentTest : public vqtest::LogBookTest {};

TEST(XHRErrorcodeHandler, RanksFailuresBySeverity) {
    for (const HRESULT hr : {S_OK, S_FALSE}) {
        EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(hr), 0);
    }
    EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(E_OUTOFMEMORY), 11);
    for (const HRESULT hr :
         {RPC_E_DISCONNECTED, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
          HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE)}) {
        EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(hr), 6) << "a lost server can fail over";
    }
    EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(E_FAIL), 8);
}

TEST(XVQExcepRefLogger, KeepsTheMostRecentAndIgnoresEmptyOnes) {
    XVQExcepRefLogger logger(100);
    for (unsigned i = 1; i <= 101; ++i) {
        logger.Add(XVQExceptionFactory::DoCreateException(VQ_TYPE_MODULE, VQErrorLocation("f", 1, L"", L""),
                                                          E_FAIL, VQ_SEVERITY_WARNING, -1, L"", L"", i));
    }
    EXPECT_EQ(logger.Add(XWrappedVQException()), 100);
    EXPECT_EQ(logger.Dropped(), 1u);
    EXPECT_EQ(logger.Errors().front()->Count(), 2u) << "the oldest goes first";
}

// Handles share one exception and count their shares: the last handle frees it.
TEST(XWrappedVQException, CopiesShareOneCountedException) {
    const XWrappedVQException first = XVQExceptionFactory::DoCreateException(
        VQ_TYPE_MODULE, VQErrorLocation("f", 1, L"", L""), E_FAIL, VQ_SEVERITY_WARNING, -1, L"", L"", 1);
    EXPECT_EQ(first->RefCount(), 1);
    {
        const XWrappedVQException copy = first;  // NOLINT(performance-unnecessary-copy-initialization)
        EXPECT_EQ(copy.Get(), first.Get());
        EXPECT_EQ(first->RefCount(), 2);
    }
    EXPECT_EQ(first->RefCount(), 1);
}

TEST_F(ErrorComponentTest, FailoverRegistryKeepsClientsPerCookie) {
    Handler& registry = XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler();
    registry.Register(5, 10, 1, L"srv-a");
    registry.Register(5, 11, 2, L"srv-b");  // a later Register updates the identity
    registry.Register(6, 10, 3, L"srv-c");
    registry.Deregister(5, 10);
    registry.Deregister(9, 1);  // unknown cookie: only recorded
    auto registrations = registry.Registrations();
    EXPECT_EQ(registrations.size(), 2u);
    EXPECT_EQ(std::tie(registrations[5].serverId, registrations[5].serverName, registrations[5].clientIds),
              std::make_tuple(2, XVQComBSTR(L"srv-b"), std::set<LONG>{11}));
    registry.Deregister(5, 11);
    EXPECT_EQ(registry.Registrations().count(5), 1u) << "the last Deregister keeps the registration";
    registry.RemoveServerEmergencyHandler(5);
    EXPECT_EQ(registry.Registrations().begin()->second.clientIds, std::set<LONG>{10});

    // The worker and the clients' threads share the registry.
    const auto registerHundred = [&registry](LONG first) {
        for (LONG id = first; id < first + 100; ++id) {
            registry.Register(7, id, 0, L"srv");
        }
    };
    std::thread a(registerHundred, 0);
    std::thread b(registerHundred, 100);
    a.join();
    b.join();
    EXPECT_EQ(registry.Registrations().at(7).clientIds.size(), 200u);

    EXPECT_EQ(registry.GetUserInteractionTimeout(), 60u);
    registry.SetUserInteractionTimeout(5);
    EXPECT_EQ(registry.GetUserInteractionTimeout(), 5u);
}

}  // namespace

// COM and ATL: CComPtr, CComAutoCriticalSection, apartments and the Global Interface Table.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "vqplatform/atl.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;
using ATL::CComPtr;
using seams::Operation;

constexpr IID IID_ITestThing = {0x6b1c0d1e, 0x2f3a, 0x4b5c, {0x8d, 0x9e, 0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5}};

// Counts its references; the creator holds the first. Lives on the test's stack, never deleted.
class TestObject : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_ITestThing ? static_cast<IUnknown*>(this) : nullptr;
        return *ppv != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (onRelease) {
            onRelease(left);
        }
        return left;
    }

    std::atomic<ULONG> refs{1};
    std::function<void(ULONG)> onRelease;
};

TEST(ComPtr, CountsReferences) {
    TestObject object;
    {
        CComPtr<IUnknown> a(&object);
        CComPtr<IUnknown> b = a;
        EXPECT_EQ(object.refs, 3u);
        CComPtr<IUnknown> c(std::move(b));
        EXPECT_EQ(object.refs, 3u);
        c = nullptr;
        EXPECT_EQ(object.refs, 2u);
        c = std::move(a);
        EXPECT_EQ(object.refs, 2u) << "moved, not copied";
    }
    EXPECT_EQ(object.refs, 1u);
}

// Locks and unlocks `cs` on another thread; the future waits for that on destruction, so a lock left
// held hangs the test.
std::future<void> Contend(CComAutoCriticalSection& cs) {
    return std::async(std::launch::async, [&cs] {
        cs.Lock();
        cs.Unlock();
    });
}

TEST(CritSec, IsRecursiveAndFailedCallsChangeNothing) {
    seams::ScopedReset reset;
    CComAutoCriticalSection cs;
    seams::FailNext(Operation::CritSecEnter, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(cs.Lock(), E_OUTOFMEMORY);
    Contend(cs).get();
    ASSERT_EQ(cs.Lock(), S_OK);
    ASSERT_EQ(cs.Lock(), S_OK);
    seams::FailNext(Operation::CritSecLeave, 1, static_cast<DWORD>(E_UNEXPECTED));
    EXPECT_EQ(cs.Unlock(), E_UNEXPECTED);
    ASSERT_EQ(cs.Unlock(), S_OK);
    std::future<void> other = Contend(cs);
    EXPECT_EQ(other.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout)
        << "locked twice, unlocked once";
    EXPECT_EQ(cs.Unlock(), S_OK);
}

TEST(CritSec, FailedConstructionThrowsMfcExceptions) {
    seams::ScopedReset reset;
    for (HRESULT hr : {E_OUTOFMEMORY, RPC_E_SERVERFAULT}) {
        seams::FailNext(Operation::CritSecInit, 1, static_cast<DWORD>(hr));
        try {
            CComAutoCriticalSection cs;
            ADD_FAILURE() << "nothing thrown";
        } catch (CException* e) {
            auto* ole = dynamic_cast<COleException*>(e);
            EXPECT_EQ(ole != nullptr ? ole->m_sc : E_OUTOFMEMORY, hr);
            EXPECT_EQ(dynamic_cast<CMemoryException*>(e) != nullptr, hr == E_OUTOFMEMORY);
            e->Delete();
        }
    }
}

// The apartment belongs to the thread, so each case runs on a fresh one.
TEST(Com, ApartmentModesPerThread) {
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        std::thread([] {
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            CoUninitialize();
        }).join();
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK) << "fully left: chosen anew";
        CoUninitialize();
    }).join();
}

// The stand-in's own table; on Windows the table is the SDK's, with its own reference counting.
class Git : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!seams::FaultInjectionSupported(Operation::GitCreate)) {
            GTEST_SKIP() << "the Global Interface Table is the SDK's on this platform";
        }
        ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git_)),
                  S_OK);
    }
    HRESULT Register(IUnknown* object, DWORD* cookie) {
        return git_->RegisterInterfaceInGlobal(object, IID_ITestThing, cookie);
    }

    seams::ScopedReset reset_;
    CComPtr<IGlobalInterfaceTable> git_;
    TestObject object_;
};

TEST_F(Git, KeepsAndHandsOutReferencesUntilRevoked) {
    DWORD cookie = 0;
    ASSERT_EQ(Register(&object_, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(object_.refs, 2u);
    void* fetched = nullptr;
    ASSERT_EQ(git_->GetInterfaceFromGlobal(cookie, IID_ITestThing, &fetched), S_OK);
    EXPECT_EQ(fetched, static_cast<IUnknown*>(&object_));
    EXPECT_EQ(object_.refs, 3u);
    object_.Release();
    EXPECT_EQ(object_.refs, 2u);

    ASSERT_EQ(git_->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(object_.refs, 1u);
    EXPECT_EQ(git_->GetInterfaceFromGlobal(cookie, IID_ITestThing, &fetched), E_INVALIDARG);
    EXPECT_EQ(git_->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    EXPECT_EQ(git_->GetInterfaceFromGlobal(0, IID_ITestThing, &fetched), E_INVALIDARG);
}

TEST_F(Git, CallsObjectsOutsideItsLock) {
    DWORD otherCookie = 0;
    ASSERT_EQ(Register(&object_, &otherCookie), S_OK);
    // The table's release of `reentrant` revokes another cookie: re-entering must not hang.
    TestObject reentrant;
    HRESULT nested = E_FAIL;
    reentrant.onRelease = [&](ULONG left) {
        if (left == 1) {
            nested = git_->RevokeInterfaceFromGlobal(otherCookie);
        }
    };
    DWORD cookie = 0;
    ASSERT_EQ(Register(&reentrant, &cookie), S_OK);
    ASSERT_EQ(git_->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(nested, S_OK);
    EXPECT_EQ(object_.refs, 1u);
}

TEST_F(Git, ConcurrentUseGivesCookiesNeverGivenBefore) {
    constexpr std::size_t kEach = 200;
    std::vector<DWORD> cookies(4 * kEach);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([this, &cookies, t] {
            for (std::size_t i = t * kEach; i < (t + 1) * kEach; ++i) {
                void* out = nullptr;
                ASSERT_EQ(Register(&object_, &cookies[i]), S_OK);
                ASSERT_EQ(git_->GetInterfaceFromGlobal(cookies[i], IID_ITestThing, &out), S_OK);
                static_cast<IUnknown*>(out)->Release();
                if (i % 2 == 1) {
                    ASSERT_EQ(git_->RevokeInterfaceFromGlobal(cookies[i]), S_OK);
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const std::set<DWORD> unique(cookies.begin(), cookies.end());
    EXPECT_EQ(unique.size(), cookies.size()) << "a revoked cookie is not given again";
    EXPECT_EQ(unique.count(0), 0u);
    EXPECT_EQ(object_.refs, 1u + cookies.size() / 2);
    for (std::size_t i = 0; i < cookies.size(); i += 2) {
        EXPECT_EQ(git_->RevokeInterfaceFromGlobal(cookies[i]), S_OK);
    }
    EXPECT_EQ(object_.refs, 1u);
}

}  // namespace

// CComPtr, COM apartments, CoCreateInstance and the Global Interface Table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
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
constexpr IID IID_INotThere = {0x6b1c0d1f, 0x2f3a, 0x4b5c, {0x8d, 0x9e, 0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5}};

// Counts its references; the creator holds the first. Lives on the test's stack, never deleted.
class TestObject : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_ITestThing) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (onRelease) {
            onRelease();
        }
        return left;
    }

    std::atomic<ULONG> refs{1};
    std::function<void()> onRelease;
};

TEST(ComPtr, CountsReferences) {
    TestObject object;
    {
        CComPtr<IUnknown> a(&object);
        EXPECT_EQ(object.refs.load(), 2u);
        CComPtr<IUnknown> b = a;
        EXPECT_EQ(object.refs.load(), 3u);
        CComPtr<IUnknown> c(std::move(b));
        EXPECT_EQ(object.refs.load(), 3u);
        EXPECT_TRUE(!b);
        c = nullptr;
        EXPECT_EQ(object.refs.load(), 2u);
        IUnknown* copy = nullptr;
        EXPECT_EQ(a.CopyTo(&copy), S_OK);
        EXPECT_EQ(object.refs.load(), 3u);
        copy->Release();
        a.Attach(a.Detach());
        EXPECT_EQ(object.refs.load(), 2u);
    }
    EXPECT_EQ(object.refs.load(), 1u);
}

// Each case runs on a fresh thread, as the apartment belongs to the thread.
template <class F>
void OnFreshThread(F&& body) {
    std::thread(std::forward<F>(body)).join();
}

class Com : public ::testing::Test {
  protected:
    seams::ScopedReset reset_;
};

TEST_F(Com, ApartmentModesPerThread) {
    OnFreshThread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        OnFreshThread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); });
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        // Fully left: the next call chooses the model anew.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    });
}

TEST_F(Com, ArmedCoInitializeFailsWithoutEntering) {
    if (!seams::FaultInjectionSupported(Operation::CoInitialize)) {
        GTEST_SKIP() << "COM is the SDK's on this platform";
    }
    OnFreshThread([] {
        seams::FailNext(Operation::CoInitialize, 1, static_cast<DWORD>(E_OUTOFMEMORY));
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_OUTOFMEMORY);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    });
}

// The stand-in's own table; on Windows the table is the SDK's, with its own reference counting.
class Git : public Com {
  protected:
    void SetUp() override {
        if (!seams::FaultInjectionSupported(Operation::GitCreate)) {
            GTEST_SKIP() << "the Global Interface Table is the SDK's on this platform";
        }
    }
};

CComPtr<IGlobalInterfaceTable> CreateTable() {
    CComPtr<IGlobalInterfaceTable> git;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git)),
              S_OK);
    return git;
}

TEST_F(Git, CoCreateInstanceKnowsOnlyTheProcessTable) {
    CComPtr<IGlobalInterfaceTable> first = CreateTable();
    ASSERT_TRUE(first != nullptr);
    EXPECT_EQ(first, CreateTable());

    void* out = &out;
    TestObject outer;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, &outer, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CoCreateInstance(IID_ITestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(
        CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_INotThere, &out),
        E_NOINTERFACE);
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, nullptr),
              E_POINTER);

    seams::FailNext(Operation::GitCreate, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    out = &out;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, &out),
              E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Git, KeepsAndHandsOutReferences) {
    CComPtr<IGlobalInterfaceTable> git = CreateTable();
    TestObject object;
    DWORD cookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(object.refs.load(), 2u);

    IUnknown* fetched = nullptr;
    ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_ITestThing, reinterpret_cast<void**>(&fetched)), S_OK);
    EXPECT_EQ(fetched, &object);
    EXPECT_EQ(object.refs.load(), 3u);
    fetched->Release();

    void* none = &none;
    EXPECT_EQ(git->GetInterfaceFromGlobal(cookie, IID_INotThere, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    ASSERT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(object.refs.load(), 1u);
    EXPECT_EQ(git->GetInterfaceFromGlobal(cookie, IID_ITestThing, &none), E_INVALIDARG);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    EXPECT_EQ(git->GetInterfaceFromGlobal(0, IID_ITestThing, &none), E_INVALIDARG);

    // A revoked cookie is never given again.
    DWORD next = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, &next), S_OK);
    EXPECT_NE(next, cookie);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(next), S_OK);

    EXPECT_EQ(git->RegisterInterfaceInGlobal(nullptr, IID_ITestThing, &next), E_INVALIDARG);
    EXPECT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, nullptr), E_INVALIDARG);
    EXPECT_EQ(object.refs.load(), 1u);
}

TEST_F(Git, ArmedFaultsTakeNoReference) {
    CComPtr<IGlobalInterfaceTable> git = CreateTable();
    TestObject object;
    DWORD cookie = 0;
    seams::FailNext(Operation::GitRegister, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookie), E_OUTOFMEMORY);
    EXPECT_EQ(object.refs.load(), 1u);

    ASSERT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookie), S_OK);
    seams::FailNext(Operation::GitGet, 1, static_cast<DWORD>(RPC_E_DISCONNECTED));
    void* out = &out;
    EXPECT_EQ(git->GetInterfaceFromGlobal(cookie, IID_ITestThing, &out), RPC_E_DISCONNECTED);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object.refs.load(), 2u);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
}

TEST_F(Git, CallsObjectsOutsideItsLock) {
    CComPtr<IGlobalInterfaceTable> git = CreateTable();
    TestObject other;
    DWORD otherCookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&other, IID_IUnknown, &otherCookie), S_OK);
    // The last release by the table revokes another cookie: re-entering the table must not hang.
    TestObject reentrant;
    HRESULT nested = E_FAIL;
    reentrant.onRelease = [&] {
        if (reentrant.refs == 1) {
            nested = git->RevokeInterfaceFromGlobal(otherCookie);
        }
    };
    DWORD cookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&reentrant, IID_IUnknown, &cookie), S_OK);
    ASSERT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(nested, S_OK);
    EXPECT_EQ(other.refs.load(), 1u);
}

TEST_F(Git, ConcurrentRegistrationGivesUniqueCookies) {
    CComPtr<IGlobalInterfaceTable> git = CreateTable();
    TestObject object;
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::vector<DWORD>> cookies(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                DWORD cookie = 0;
                ASSERT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookie), S_OK);
                cookies[t].push_back(cookie);
                // Lookups and revocations race with the other threads' registrations.
                void* out = nullptr;
                ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_ITestThing, &out), S_OK);
                static_cast<IUnknown*>(out)->Release();
                if (i % 2 == 0) {
                    ASSERT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    std::set<DWORD> unique;
    for (const std::vector<DWORD>& list : cookies) {
        unique.insert(list.begin(), list.end());
    }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(unique.count(0), 0u);
    EXPECT_EQ(object.refs.load(), 1u + kThreads * kEach / 2);
    for (const std::vector<DWORD>& list : cookies) {
        for (std::size_t i = 1; i < list.size(); i += 2) {
            EXPECT_EQ(git->RevokeInterfaceFromGlobal(list[i]), S_OK);
        }
    }
    EXPECT_EQ(object.refs.load(), 1u);
}

}  // namespace

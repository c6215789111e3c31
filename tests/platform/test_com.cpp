// CComPtr, COM apartments, CoCreateInstance and the Global Interface Table.
#include <gtest/gtest.h>

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
            onRelease(left);
        }
        return left;
    }
    ULONG Refs() const { return refs.load(); }

    std::atomic<ULONG> refs{1};
    std::function<void(ULONG)> onRelease;
};

TEST(ComPtr, CountsReferences) {
    TestObject object;
    {
        CComPtr<IUnknown> a(&object);
        CComPtr<IUnknown> b = a;
        EXPECT_EQ(object.Refs(), 3u);
        CComPtr<IUnknown> c(std::move(b));
        EXPECT_EQ(object.Refs(), 3u);
        c = nullptr;
        EXPECT_EQ(object.Refs(), 2u);
        IUnknown* copy = nullptr;
        EXPECT_EQ(a.CopyTo(&copy), S_OK);
        copy->Release();
        a.Attach(a.Detach());
        EXPECT_EQ(object.Refs(), 2u);
    }
    EXPECT_EQ(object.Refs(), 1u);
}

class Com : public ::testing::Test {
  protected:
    seams::ScopedReset reset_;
};

// The apartment belongs to the thread, so each case runs on a fresh one.
TEST_F(Com, ApartmentModesPerThread) {
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
        // Fully left: the next call chooses the model anew.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    }).join();
}

TEST_F(Com, ArmedCoInitializeFailsWithoutEntering) {
    if (!seams::FaultInjectionSupported(Operation::CoInitialize)) {
        GTEST_SKIP() << "COM is the SDK's on this platform";
    }
    std::thread([] {
        seams::FailNext(Operation::CoInitialize, 1, static_cast<DWORD>(E_OUTOFMEMORY));
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_OUTOFMEMORY);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    }).join();
}

// The stand-in's own table; on Windows the table is the SDK's, with its own reference counting.
class Git : public Com {
  protected:
    void SetUp() override {
        if (!seams::FaultInjectionSupported(Operation::GitCreate)) {
            GTEST_SKIP() << "the Global Interface Table is the SDK's on this platform";
        }
        ASSERT_EQ(Create(CLSID_StdGlobalInterfaceTable, nullptr, IID_IGlobalInterfaceTable,
                         reinterpret_cast<void**>(&git_)),
                  S_OK);
    }
    static HRESULT Create(REFCLSID clsid, IUnknown* outer, REFIID iid, void** out) {
        return CoCreateInstance(clsid, outer, CLSCTX_INPROC_SERVER, iid, out);
    }
    CComPtr<IGlobalInterfaceTable> git_;
    TestObject object_;
};

TEST_F(Git, CoCreateInstanceKnowsOnlyTheProcessTable) {
    CComPtr<IGlobalInterfaceTable> second;
    ASSERT_EQ(Create(CLSID_StdGlobalInterfaceTable, nullptr, IID_IUnknown, reinterpret_cast<void**>(&second)),
              S_OK);
    EXPECT_EQ(second, git_);
    void* out = &out;
    EXPECT_EQ(Create(CLSID_StdGlobalInterfaceTable, &object_, IID_IGlobalInterfaceTable, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Create(IID_ITestThing, nullptr, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Create(CLSID_StdGlobalInterfaceTable, nullptr, IID_INotThere, &out), E_NOINTERFACE);
    EXPECT_EQ(Create(CLSID_StdGlobalInterfaceTable, nullptr, IID_IGlobalInterfaceTable, nullptr), E_POINTER);
    seams::FailNext(Operation::GitCreate, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    out = &out;
    EXPECT_EQ(Create(CLSID_StdGlobalInterfaceTable, nullptr, IID_IGlobalInterfaceTable, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Git, KeepsAndHandsOutReferences) {
    DWORD cookie = 0;
    ASSERT_EQ(git_->RegisterInterfaceInGlobal(&object_, IID_ITestThing, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(object_.Refs(), 2u);
    void* fetched = nullptr;
    ASSERT_EQ(git_->GetInterfaceFromGlobal(cookie, IID_ITestThing, &fetched), S_OK);
    EXPECT_EQ(fetched, static_cast<IUnknown*>(&object_));
    EXPECT_EQ(object_.Refs(), 3u);
    object_.Release();
    EXPECT_EQ(git_->GetInterfaceFromGlobal(cookie, IID_INotThere, &fetched), E_NOINTERFACE);
    EXPECT_EQ(fetched, nullptr);

    ASSERT_EQ(git_->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(object_.Refs(), 1u);
    EXPECT_EQ(git_->GetInterfaceFromGlobal(cookie, IID_ITestThing, &fetched), E_INVALIDARG);
    EXPECT_EQ(git_->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    EXPECT_EQ(git_->GetInterfaceFromGlobal(0, IID_ITestThing, &fetched), E_INVALIDARG);
    DWORD next = 0;
    ASSERT_EQ(git_->RegisterInterfaceInGlobal(&object_, IID_ITestThing, &next), S_OK);
    EXPECT_NE(next, cookie);  // never reused
    EXPECT_EQ(git_->RevokeInterfaceFromGlobal(next), S_OK);
    EXPECT_EQ(git_->RegisterInterfaceInGlobal(nullptr, IID_ITestThing, &next), E_INVALIDARG);
    EXPECT_EQ(git_->RegisterInterfaceInGlobal(&object_, IID_ITestThing, nullptr), E_INVALIDARG);
    EXPECT_EQ(object_.Refs(), 1u);
}

TEST_F(Git, ArmedFaultsTakeNoReference) {
    DWORD cookie = 0;
    seams::FailNext(Operation::GitRegister, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(git_->RegisterInterfaceInGlobal(&object_, IID_ITestThing, &cookie), E_OUTOFMEMORY);
    EXPECT_EQ(object_.Refs(), 1u);
    ASSERT_EQ(git_->RegisterInterfaceInGlobal(&object_, IID_ITestThing, &cookie), S_OK);
    seams::FailNext(Operation::GitGet, 1, static_cast<DWORD>(RPC_E_DISCONNECTED));
    void* out = &out;
    EXPECT_EQ(git_->GetInterfaceFromGlobal(cookie, IID_ITestThing, &out), RPC_E_DISCONNECTED);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object_.Refs(), 2u);
    EXPECT_EQ(git_->RevokeInterfaceFromGlobal(cookie), S_OK);
}

TEST_F(Git, CallsObjectsOutsideItsLock) {
    DWORD otherCookie = 0;
    ASSERT_EQ(git_->RegisterInterfaceInGlobal(&object_, IID_IUnknown, &otherCookie), S_OK);
    // The table's release of `reentrant` revokes another cookie: re-entering must not hang.
    TestObject reentrant;
    HRESULT nested = E_FAIL;
    reentrant.onRelease = [&](ULONG left) {
        if (left == 1) {
            nested = git_->RevokeInterfaceFromGlobal(otherCookie);
        }
    };
    DWORD cookie = 0;
    ASSERT_EQ(git_->RegisterInterfaceInGlobal(&reentrant, IID_IUnknown, &cookie), S_OK);
    ASSERT_EQ(git_->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(nested, S_OK);
    EXPECT_EQ(object_.Refs(), 1u);
}

TEST_F(Git, ConcurrentUseGivesUniqueCookies) {
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::vector<DWORD>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, &kept, t] {
            for (int i = 0; i < kEach; ++i) {
                DWORD cookie = 0;
                ASSERT_EQ(git_->RegisterInterfaceInGlobal(&object_, IID_ITestThing, &cookie), S_OK);
                void* out = nullptr;
                ASSERT_EQ(git_->GetInterfaceFromGlobal(cookie, IID_ITestThing, &out), S_OK);
                static_cast<IUnknown*>(out)->Release();
                if (i % 2 == 0) {
                    kept[t].push_back(cookie);
                } else {
                    ASSERT_EQ(git_->RevokeInterfaceFromGlobal(cookie), S_OK);
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    std::set<DWORD> unique;
    for (const std::vector<DWORD>& cookies : kept) {
        unique.insert(cookies.begin(), cookies.end());
    }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kEach / 2));
    EXPECT_EQ(unique.count(0), 0u);
    EXPECT_EQ(object_.Refs(), 1u + kThreads * kEach / 2);
    for (DWORD cookie : unique) {
        EXPECT_EQ(git_->RevokeInterfaceFromGlobal(cookie), S_OK);
    }
    EXPECT_EQ(object_.Refs(), 1u);
}

}  // namespace

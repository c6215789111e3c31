// The Global Interface Table as the library uses it: registration, lookups and revocation.
#include <gtest/gtest.h>

#include <atomic>

#include "vqplatform/atl.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;
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
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

    std::atomic<ULONG> refs{1};
};

// The stand-in's own table; on Windows the table is the SDK's, with its own reference counting.
TEST(Git, KeepsAndHandsOutReferencesUntilRevoked) {
    if (!seams::FaultInjectionSupported(Operation::GitCreate)) {
        GTEST_SKIP() << "the Global Interface Table is the SDK's on this platform";
    }
    ATL::CComPtr<IGlobalInterfaceTable> git;
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git)),
              S_OK);
    TestObject object;
    DWORD cookies[2] = {};
    for (DWORD& cookie : cookies) {
        ASSERT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookie), S_OK);
    }
    EXPECT_NE(cookies[0], 0u);
    EXPECT_NE(cookies[0], cookies[1]);
    EXPECT_EQ(object.refs, 3u);
    void* fetched = nullptr;
    ASSERT_EQ(git->GetInterfaceFromGlobal(cookies[0], IID_ITestThing, &fetched), S_OK);
    EXPECT_EQ(fetched, static_cast<IUnknown*>(&object));
    EXPECT_EQ(object.refs, 4u);
    object.Release();

    ASSERT_EQ(git->RevokeInterfaceFromGlobal(cookies[0]), S_OK);
    EXPECT_EQ(object.refs, 2u);
    for (DWORD unknown : {cookies[0], DWORD{0}}) {
        EXPECT_EQ(git->GetInterfaceFromGlobal(unknown, IID_ITestThing, &fetched), E_INVALIDARG);
        EXPECT_EQ(git->RevokeInterfaceFromGlobal(unknown), E_INVALIDARG);
    }
    const DWORD revoked = cookies[0];
    ASSERT_EQ(git->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookies[0]), S_OK);
    EXPECT_TRUE(cookies[0] != revoked && cookies[0] != cookies[1]) << "a cookie is never given twice";
    for (DWORD cookie : cookies) {
        EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    }
    EXPECT_EQ(object.refs, 1u);
}

}  // namespace

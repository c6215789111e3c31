// CComAutoCriticalSection and the MFC exception types.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "vqplatform/atl.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;
using seams::Operation;

// Locks and unlocks on another thread; joins on destruction, so a lock left held hangs the test.
class Contender {
  public:
    explicit Contender(CComAutoCriticalSection& cs)
        : thread_([this, &cs] {
              cs.Lock();
              acquired_ = true;
              cs.Unlock();
          }) {}
    ~Contender() { thread_.join(); }
    bool AcquiredWithinGrace() {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return acquired_;
    }

  private:
    std::atomic<bool> acquired_{false};
    std::thread thread_;
};

class CritSec : public ::testing::Test {
  protected:
    seams::ScopedReset reset_;
};

TEST_F(CritSec, IsRecursiveAndExcludesOtherThreads) {
    CComAutoCriticalSection cs;
    ASSERT_EQ(cs.Lock(), S_OK);
    ASSERT_EQ(cs.Lock(), S_OK);
    Contender other(cs);
    ASSERT_EQ(cs.Unlock(), S_OK);
    EXPECT_FALSE(other.AcquiredWithinGrace());
    ASSERT_EQ(cs.Unlock(), S_OK);
}

TEST_F(CritSec, FailedLockAndUnlockChangeNothing) {
    CComAutoCriticalSection cs;
    seams::FailNext(Operation::CritSecEnter, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(cs.Lock(), E_OUTOFMEMORY);
    { Contender unblocked(cs); }

    ASSERT_EQ(cs.Lock(), S_OK);
    seams::FailNext(Operation::CritSecLeave, 1, static_cast<DWORD>(E_UNEXPECTED));
    EXPECT_EQ(cs.Unlock(), E_UNEXPECTED);
    Contender other(cs);
    EXPECT_FALSE(other.AcquiredWithinGrace());
    EXPECT_EQ(cs.Unlock(), S_OK);
}

TEST_F(CritSec, ArmedInitThrowsMfcExceptions) {
    seams::FailNext(Operation::CritSecInit, 1, static_cast<DWORD>(E_OUTOFMEMORY));
    try {
        CComAutoCriticalSection cs;
        FAIL() << "no exception";
    } catch (CMemoryException* e) {
        e->Delete();
    }
    seams::FailNext(Operation::CritSecInit, 1, static_cast<DWORD>(RPC_E_SERVERFAULT));
    try {
        CComAutoCriticalSection cs;
        FAIL() << "no exception";
    } catch (COleException* e) {
        EXPECT_EQ(e->m_sc, RPC_E_SERVERFAULT);
        e->Delete();
    }
    CComAutoCriticalSection unarmed;
    EXPECT_EQ(unarmed.Lock(), S_OK);
    EXPECT_EQ(unarmed.Unlock(), S_OK);
}

TEST(MfcExceptions, MessagesFitTheBuffer) {
    wchar_t text[64];
    CMemoryException memory;
    EXPECT_TRUE(memory.GetErrorMessage(text, 64));
    EXPECT_STREQ(text, L"Out of memory.");

    wchar_t shortText[8];
    UINT help = 7;
    COleException known(E_INVALIDARG);
    EXPECT_TRUE(known.GetErrorMessage(shortText, 8, &help));
    EXPECT_STREQ(shortText, L"The par");
    EXPECT_EQ(help, 0u);
    EXPECT_FALSE(known.GetErrorMessage(text, 0));

    COleException unknown(static_cast<SCODE>(0x80041234));
    EXPECT_TRUE(unknown.GetErrorMessage(text, 64));
    EXPECT_NE(std::wstring(text).find(L"80041234"), std::wstring::npos);

    CException base;
    EXPECT_FALSE(base.GetErrorMessage(text, 64));
    EXPECT_STREQ(text, L"");
}

TEST(MfcExceptions, AfxThrowersThrowByPointer) {
    try {
        AfxThrowOleException(E_ABORT);
    } catch (CException* e) {
        auto* ole = dynamic_cast<COleException*>(e);
        ASSERT_NE(ole, nullptr);
        EXPECT_EQ(ole->m_sc, E_ABORT);
        e->Delete();
    }
}

}  // namespace

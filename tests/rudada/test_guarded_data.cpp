#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <list>
#include <stdexcept>
#include <string>
#include <thread>

#include "Rudada64/XBasicCritSection.h"
#include "Rudada64/XCComCritData.h"
#include "components/test_error_support.h"
#include "seams/PlatformSeams.h"

namespace {

using namespace std::chrono_literals;
using namespace XVQEXCEP;
using Data = XCritData<int>;
using vqtest::seams::FailNext;
using vqtest::seams::Operation;
using Guard = XSmartCritSection<CComAutoCriticalSection>;

class GuardedDataTest : public vqtest::LogBookTest {
  protected:
    // Runs `acquire` on another thread; the future's destructor joins it.
    static std::future<void> Contend(std::function<void()> acquire) {
        return std::async(std::launch::async, std::move(acquire));
    }
    static bool Done(const std::future<void>& f, std::chrono::milliseconds wait) {
        return f.wait_for(wait) == std::future_status::ready;
    }
    // The MFC exception `body` raises ("memory", "ole <code>" or "none"), deleted as MFC callers do.
    static std::string MfcExceptionOf(const std::function<void()>& body) {
        try {
            body();
        } catch (CException* e) {
            char text[32] = "other";
            if (dynamic_cast<CMemoryException*>(e) != nullptr) {
                std::snprintf(text, sizeof text, "memory");
            } else if (const auto* ole = dynamic_cast<COleException*>(e)) {
                std::snprintf(text, sizeof text, "ole %08X", static_cast<unsigned>(ole->m_sc));
            }
            e->Delete();
            return text;
        }
        return "none";
    }
};

TEST_F(GuardedDataTest, NestedReferencesKeepTheLockUntilTheOutermostGoes) {
    Data data(5);
    std::future<void> reader;
    {
        auto outer = data.GetProxy();
        {
            auto inner = data.GetProxy();
            auto read = data.GetReadProxy();  // read inside write
            EXPECT_EQ(read.Get(), outer.Get());
            EXPECT_EQ(data.Section().ThreadRefCount(), 3);
            data.Write(7);
        }
        EXPECT_EQ(data.Section().ThreadRefCount(), 1);
        reader = Contend([&] { EXPECT_EQ(data.Read(), 9); });
        EXPECT_FALSE(Done(reader, 30ms)) << "an inner reference released the lock";
        EXPECT_EQ(*outer, 7);
        *outer = 9;
    }
    EXPECT_TRUE(Done(reader, 5s));
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
}

// A thread keeps a few of its records in inline slots and spills the others into an overflow list.
TEST_F(GuardedDataTest, AThreadMayNestOnManySectionsAtOnce) {
    std::array<Data, 12> data;
    for (Data& d : data) {
        d.Section().AddLockRef();
    }
    for (Data& d : data) {
        d.Section().AddReadLockRef();
        EXPECT_EQ(d.Section().ThreadRefCount(), 2);
    }
    const std::future<void> writer = Contend([&] { data.back().Write(5); });
    EXPECT_FALSE(Done(writer, 30ms)) << "the last section was not held";
    for (Data& d : data) {
        d.Section().ReleaseLockRef();
        d.Section().ReleaseLockRef();
        EXPECT_EQ(d.Section().ThreadRefCount(), 0);
    }
    EXPECT_TRUE(Done(writer, 5s));
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(GuardedDataTest, WriteInsideReadIsRefusedAndAReleaseWithoutReferenceIsLogged) {
    Data data;
    {
        auto read = data.GetReadProxy();
        const XWrappedVQException e = Caught([&] { auto write = data.GetProxy(); });
        ASSERT_FALSE(e.IsEmpty()) << "write inside read was granted";
        EXPECT_EQ(Fields(e),
                  vqtest::ExcepFields(8, E_FAIL, 8, L"unable to add a write lock reference to a read lock", 2,
                                      111));
        EXPECT_EQ(PlaceOf(e->Location()), ModulePlace("Rudada64/XBasicCritSection.h", 111,
                                                      L"XBasicRefCountCritSection::AddLockRef()"));
        EXPECT_EQ(data.Section().ThreadRefCount(), 1);
    }
    EXPECT_TRUE(Done(Contend([&] { data.Write(1); }), 5s)) << "the refusal left the lock held";

    data.Section().ReleaseLockRef();
    const XVQLogEntry e = TakeOnly();
    EXPECT_EQ(
        std::tie(e.type, e.message),
        std::make_tuple(
            8, L"trying to unlock the critical section without having it locked for the running thread"));
    EXPECT_EQ(PlaceOf(e), ModulePlace("Rudada64/XBasicCritSection.h", 216,
                                      L"XBasicRefCountCritSection::ReleaseLockRef()"));
    data.Write(2);
    EXPECT_EQ(data.Section().ThreadRefCount(), 0) << "the release changed nothing";
}

// Lower ranks first, and nesting on a held value, pass; a lower rank locked while a higher one is
// held stops the process at once, whichever lock variant holds the higher rank.
TEST(GuardedDataDeathTest, ALowerRankLockedUnderAHigherOneAborts) {
    if (!XLockOrderCheck::kEnabled) {
        GTEST_SKIP() << "the lock order check is not built in";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    XCritData<int> low(XLockRank(1), 5);
    XCComCritData<int> high(XLockRank(2));
    XCritData<int> unranked;
    {
        auto outer = low.GetReadProxy();
        auto inner = high.GetProxy();
        auto nested = low.GetReadProxy();
        unranked.Write(1);  // never checked
        EXPECT_EQ(*nested, 5);
    }
    { auto alone = high.GetProxy(); }
    EXPECT_EQ(low.Read(), 5) << "a released higher rank still counted";
    EXPECT_DEATH(
        {
            auto outer = high.GetProxy();
            low.Write(6);
        },
        "VQ lock order violated: a guarded value of rank 1 is locked while the thread holds one of rank 2");
}

TEST_F(GuardedDataTest, WritersExcludeEveryoneAndReadersShare) {
    Data data;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    const auto writer = [&] {
        for (int i = 0; i < 2000; ++i) {
            auto p = data.GetProxy();
            overlaps += ++inside > 1 ? 1 : 0;
            ++*p;
            --inside;
        }
    };
    std::thread a(writer);
    std::thread b(writer);
    a.join();
    b.join();
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(data.Read(), 4000);

    std::future<void> reader;  // outside the read proxy, so that a failing wait cannot hang the test
    std::future<void> waitingWriter;
    {
        auto read = data.GetReadProxy();
        reader = Contend([&] { auto p = data.GetReadProxy(); });
        EXPECT_TRUE(Done(reader, 5s)) << "readers must share";
        waitingWriter = Contend([&] { data.Write(0); });
        EXPECT_FALSE(Done(waitingWriter, 30ms)) << "a writer got in beside a reader";
    }
    EXPECT_TRUE(Done(waitingWriter, 5s));
}

TEST_F(GuardedDataTest, AtlLockFailuresAreLoggedAndRaised) {
    XCComCritData<int> data;
    // Each reference enters the count lock first: the faults skip it to reach the main lock.
    FailNext(Operation::CritSecEnter, 1, E_ACCESSDENIED, 1);
    try {
        auto p = data.GetProxy();
        ADD_FAILURE() << "the failing enter was not raised";
    } catch (XVQCritDataException::XStdCritDataExcep& e) {
        EXPECT_STREQ(e.what(),
                     "VQ CriticalData Error: , File: Rudada64/XCComCritData.h, Line: 36, Reason: "
                     "CComAutoCriticalSection Lock() failed");
    }
    const XVQLogEntry e = TakeOnly();
    EXPECT_EQ(std::tie(e.kind, e.severity, e.hr, e.message),
              std::make_tuple(XVQLogEntry::Kind::HResult, 11, HRESULT{E_ACCESSDENIED},
                              L"CComAutoCriticalSection Lock() failed"));
    EXPECT_EQ(PlaceOf(e), ModulePlace("Rudada64/XCComCritData.h", 33,
                                      L"XCritSectionTraits<CComAutoCriticalSection>::LockEx"));
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
    EXPECT_TRUE(Done(Contend([&] { data.Write(3); }), 5s)) << "the failed enter left the lock held";
    EXPECT_EQ(*data.GetProxy(), 3);

    // A failing leave is raised, and the thread still holds the lock until a later release frees it.
    FailNext(Operation::CritSecLeave, 1, E_UNEXPECTED, 1);
    EXPECT_THROW({ auto p = data.GetProxy(); }, XVQCritDataException::XStdCritDataExcep);
    EXPECT_EQ(TakeOnly().message, L"CComAutoCriticalSection Unlock() failed");
    EXPECT_EQ(data.Section().ThreadRefCount(), 1) << "the thread still holds the lock";
    data.Section().ReleaseLockRef();
    EXPECT_TRUE(Done(Contend([&] { data.Write(3); }), 5s));

    // While another exception unwinds, the failure is logged and dropped instead of terminating.
    FailNext(Operation::CritSecLeave, 1, E_UNEXPECTED, 1);
    EXPECT_THROW(
        {
            auto p = data.GetProxy();
            throw std::runtime_error("first");
        },
        std::runtime_error);
    EXPECT_EQ(TakeOnly().line, 47u);
    data.Section().ReleaseLockRef();
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
}

TEST_F(GuardedDataTest, TheCountLockGuardEntersAtOnceAndLeavesOnlyWhatItEntered) {
    CComAutoCriticalSection section;
    std::future<void> other;
    {
        Guard guard(section, true);
        other = Contend([&] { Guard inner(section, true); });
        EXPECT_FALSE(Done(other, 30ms)) << "the guard did not enter";
    }
    EXPECT_TRUE(Done(other, 5s)) << "the guard did not leave";

    ASSERT_EQ(section.Lock(), S_OK);
    { Guard idle(section, false); }
    other = Contend([&] { Guard inner(section, true); });
    EXPECT_FALSE(Done(other, 30ms)) << "a guard that did not enter left the section";
    EXPECT_EQ(section.Unlock(), S_OK);
    EXPECT_TRUE(Done(other, 5s));

    FailNext(Operation::CritSecEnter, 1, E_OUTOFMEMORY);
    EXPECT_EQ(MfcExceptionOf([&] { Guard guard(section, true); }), "memory");
    FailNext(Operation::CritSecEnter, 1, E_ACCESSDENIED);
    EXPECT_EQ(MfcExceptionOf([&] { Guard guard(section, true); }), "ole 80070005");
    EXPECT_TRUE(Done(Contend([&] { Guard inner(section, true); }), 5s)) << "a failed enter left it held";

    // A reference whose count lock cannot be entered is not taken.
    Data data(1);
    FailNext(Operation::CritSecEnter, 1, E_OUTOFMEMORY);
    EXPECT_EQ(MfcExceptionOf([&] { auto p = data.GetProxy(); }), "memory");
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
    EXPECT_TRUE(Done(Contend([&] { data.Write(2); }), 5s)) << "the refused reference left the lock held";
    // A last release whose count lock cannot be entered has released the main lock all the same.
    FailNext(Operation::CritSecEnter, 1, E_OUTOFMEMORY, 1);
    EXPECT_EQ(MfcExceptionOf([&] { auto p = data.GetProxy(); }), "none");
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
    EXPECT_TRUE(Done(Contend([&] { data.Write(3); }), 5s)) << "the failed release left the lock held";
    // A release without a reference is then logged, and the next reference locks all the same.
    data.Section().ReleaseLockRef();
    EXPECT_EQ(TakeOnly().line, 180u);
    std::future<void> writer;
    {
        auto p = data.GetProxy();
        EXPECT_EQ(data.Section().ThreadRefCount(), 1);
        writer = Contend([&] { data.Write(4); });
        EXPECT_FALSE(Done(writer, 30ms)) << "the proxy did not lock";
        EXPECT_EQ(*p, 3);
    }
    EXPECT_TRUE(Done(writer, 5s));
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
}

// The value is built before the sections and must be destroyed again when one of them cannot be
// initialised (AddressSanitizer reports a leak otherwise).
TEST_F(GuardedDataTest, GuardedDataWhoseLockCannotBeInitialisedIsNotBuilt) {
    const std::string value(100, 'v');
    FailNext(Operation::CritSecInit, 1, E_OUTOFMEMORY);
    EXPECT_EQ(MfcExceptionOf([&] { XCritData<std::string> data(value); }), "memory");
    FailNext(Operation::CritSecInit, 1, E_ACCESSDENIED);
    EXPECT_EQ(MfcExceptionOf([&] { XCritData<std::string> data(value); }), "ole 80070005");
    // The ATL variant builds its main lock, then its count lock.
    using AtlData = XCComCritData<std::list<std::string>>;
    FailNext(Operation::CritSecInit, 1, E_OUTOFMEMORY);
    EXPECT_EQ(MfcExceptionOf([] { AtlData data; }), "memory");
    FailNext(Operation::CritSecInit, 1, E_UNEXPECTED, 1);
    EXPECT_EQ(MfcExceptionOf([] { AtlData data; }), "ole 8000FFFF");

    XCritData<std::string> data(value);
    EXPECT_EQ(data.Read(), value) << "a fault outlived its failure";
}

}  // namespace

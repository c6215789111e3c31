#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
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

class GuardedDataTest : public vqtest::LogBookTest {
  protected:
    // Runs `acquire` on another thread; the future's destructor joins it.
    static std::future<void> Contend(std::function<void()> acquire) {
        return std::async(std::launch::async, std::move(acquire));
    }
    static bool Done(const std::future<void>& f, std::chrono::milliseconds wait) {
        return f.wait_for(wait) == std::future_status::ready;
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

TEST_F(GuardedDataTest, WriteInsideReadIsRefusedAndAReleaseWithoutReferenceIsLogged) {
    Data data;
    {
        auto read = data.GetReadProxy();
        const XWrappedVQException e = Caught([&] { auto write = data.GetProxy(); });
        ASSERT_FALSE(e.IsEmpty()) << "write inside read was granted";
        EXPECT_EQ(Fields(e),
                  vqtest::ExcepFields(VQ_TYPE_CRITICAL_DATA, E_FAIL, VQ_SEVERITY_SEVERE,
                                      L"unable to add a write lock reference to a read lock", 2, 111));
        EXPECT_EQ(PlaceOf(e->Location()), ModulePlace("Rudada64/XBasicCritSection.h", 111,
                                                      L"XBasicRefCountCritSection::AddLockRef()"));
        EXPECT_EQ(data.Section().ThreadRefCount(), 1);
    }
    EXPECT_TRUE(Done(Contend([&] { data.Write(1); }), 5s)) << "the refusal left the lock held";

    data.Section().ReleaseLockRef();
    const XVQLogEntry e = TakeOnly();
    EXPECT_EQ(std::tie(e.type, e.message),
              std::make_tuple(
                  int{VQ_TYPE_CRITICAL_DATA},
                  L"trying to unlock the critical section without having it locked for the running thread"));
    EXPECT_EQ(PlaceOf(e), ModulePlace("Rudada64/XBasicCritSection.h", 216,
                                      L"XBasicRefCountCritSection::ReleaseLockRef()"));
    data.Write(2);
    EXPECT_EQ(data.Section().ThreadRefCount(), 0) << "the release changed nothing";
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
    FailNext(Operation::CritSecEnter, 1, E_ACCESSDENIED);
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
              std::make_tuple(XVQLogEntry::Kind::HResult, int{VQ_SEVERITY_CRITICAL}, HRESULT{E_ACCESSDENIED},
                              L"CComAutoCriticalSection Lock() failed"));
    EXPECT_EQ(PlaceOf(e), ModulePlace("Rudada64/XCComCritData.h", 33,
                                      L"XCritSectionTraits<CComAutoCriticalSection>::LockEx"));
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
    EXPECT_TRUE(Done(Contend([&] { data.Write(3); }), 5s)) << "the failed enter left the lock held";

    // A failing leave is raised, and the thread still holds the lock until a later release frees it.
    FailNext(Operation::CritSecLeave, 1, E_UNEXPECTED);
    EXPECT_THROW({ auto p = data.GetProxy(); }, XVQCritDataException::XStdCritDataExcep);
    EXPECT_EQ(TakeOnly().message, L"CComAutoCriticalSection Unlock() failed");
    EXPECT_EQ(data.Section().ThreadRefCount(), 1) << "the thread still holds the lock";
    data.Section().ReleaseLockRef();
    EXPECT_TRUE(Done(Contend([&] { data.Write(3); }), 5s));

    // While another exception unwinds, the failure is logged and dropped instead of terminating.
    FailNext(Operation::CritSecLeave, 1, E_UNEXPECTED);
    EXPECT_THROW(
        {
            auto p = data.GetProxy();
            throw std::runtime_error("first");
        },
        std::runtime_error);
    EXPECT_EQ(TakeOnly().line, 47u);
    data.Section().ReleaseLockRef();
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);

    FailNext(Operation::CritSecInit, 1, E_OUTOFMEMORY);
    try {
        XCComCritData<int> failing;
        ADD_FAILURE() << "constructed despite the failing section";
    } catch (CException* error) {
        EXPECT_NE(dynamic_cast<CMemoryException*>(error), nullptr);
        error->Delete();
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "Rudada64/XBasicCritSection.h"
#include "Rudada64/XCComCritData.h"
#include "vqplatform/testing.h"

namespace {

using namespace std::chrono_literals;
using Data = XCritData<std::map<int, int>>;
using Section = XBasicRefCountCritSection<XCritSectionTraits<XCriticalSectionEx>>;

static_assert(!std::is_copy_constructible_v<Data::Proxy> && !std::is_move_constructible_v<Data::Proxy>);
static_assert(!std::is_copy_constructible_v<Data::ReadProxy> &&
              !std::is_move_constructible_v<Data::ReadProxy>);
static_assert(!std::is_copy_constructible_v<XCComCritProxy<int>>);
static_assert(std::is_same_v<decltype(std::declval<Data::ReadProxy&>().Get()), const std::map<int, int>*>);

// Runs `acquire` on another thread and tells whether it got through within a bounded wait.
class Contender {
  public:
    explicit Contender(std::function<void()> acquire)
        : m_thread([this, acquire = std::move(acquire)] {
              acquire();
              std::lock_guard<std::mutex> lock(m_mutex);
              m_done = true;
              m_cv.notify_all();
          }) {}
    ~Contender() { m_thread.join(); }
    bool DoneWithin(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, wait, [this] { return m_done; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

class GuardedDataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
    }
    void TearDown() override { XVQLogBook::Clear(); }

    vqplatform::testing::ScopedReset m_seams;
};

TEST_F(GuardedDataTest, NestedWriteProxiesHoldTheLockUntilTheOuterOneGoes) {
    Data data;
    std::unique_ptr<Contender> other;
    {
        auto outer = data.GetProxy();
        {
            auto inner = data.GetProxy();
            (*inner)[1] = 10;
            EXPECT_EQ(data.Section().ThreadRefCount(), 2);
        }
        EXPECT_EQ(data.Section().ThreadRefCount(), 1);
        other = std::make_unique<Contender>([&] { auto p = data.GetReadProxy(); });
        EXPECT_FALSE(other->DoneWithin(30ms)) << "the inner proxy released the lock";
        EXPECT_EQ(outer->at(1), 10);
    }
    EXPECT_TRUE(other->DoneWithin(5s));
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
}

TEST_F(GuardedDataTest, ReadInsideWriteKeepsTheWriteLock) {
    Data data;
    std::unique_ptr<Contender> reader;
    {
        auto write = data.GetProxy();
        {
            auto read = data.GetReadProxy();
            EXPECT_EQ(read.Get(), write.Get());
            EXPECT_EQ(data.Section().ThreadRefCount(), 2);
        }
        reader = std::make_unique<Contender>([&] { auto p = data.GetReadProxy(); });
        EXPECT_FALSE(reader->DoneWithin(30ms)) << "another thread read while this one writes";
    }
    EXPECT_TRUE(reader->DoneWithin(5s));
}

TEST_F(GuardedDataTest, WriteInsideReadIsRefusedAndTheReadStillReleases) {
    Data data;
    {
        auto read = data.GetReadProxy();
        try {
            auto write = data.GetProxy();
            ADD_FAILURE() << "write inside read was granted";
        } catch (XWrappedVQException& e) {
            ASSERT_FALSE(e.IsEmpty());
            EXPECT_EQ(std::wstring(e->Message()), L"unable to add a write lock reference to a read lock");
            EXPECT_EQ(e->Type(), XVQEXCEP::TYPE_CRITICAL_DATA);
            EXPECT_EQ(e->Severity(), XVQEXCEP::SEVERITY_SEVERE);
            EXPECT_EQ(e->HResult(), E_FAIL);
            EXPECT_EQ(e->Location().Line(), 111u);
            EXPECT_EQ(e->Location().File(), "Rudada64/XBasicCritSection.h");
            EXPECT_EQ(std::wstring(e->Location().Function()), L"XBasicRefCountCritSection::AddLockRef()");
        }
        EXPECT_EQ(data.Section().ThreadRefCount(), 1);
    }
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
    Contender writer([&] { auto p = data.GetProxy(); });
    EXPECT_TRUE(writer.DoneWithin(5s)) << "the main lock stayed held after the refusal";
}

TEST_F(GuardedDataTest, WritersExcludeEachOtherAndReadersShare) {
    Data data;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    auto writer = [&] {
        for (int i = 0; i < 2000; ++i) {
            auto p = data.GetProxy();
            const int now = ++inside;
            maxInside = std::max(maxInside.load(), now);
            ++(*p)[0];
            --inside;
        }
    };
    std::thread a(writer);
    std::thread b(writer);
    a.join();
    b.join();
    EXPECT_EQ(maxInside.load(), 1);
    EXPECT_EQ(data.Read().at(0), 4000);

    auto read = data.GetReadProxy();
    Contender secondReader([&] { auto p = data.GetReadProxy(); });
    EXPECT_TRUE(secondReader.DoneWithin(5s)) << "a second reader waited for the first";
}

TEST_F(GuardedDataTest, ReleaseWithoutReferenceIsLoggedAndChangesNothing) {
    Data data;
    data.Section().ReleaseLockRef();
    const auto entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message,
              L"trying to unlock the critical section without having it locked for the running thread");
    EXPECT_EQ(entries[0].line, 216u);
    EXPECT_EQ(entries[0].type, XVQEXCEP::TYPE_CRITICAL_DATA);
    EXPECT_EQ(entries[0].function, L"XBasicRefCountCritSection::ReleaseLockRef()");
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
    Contender writer([&] { auto p = data.GetProxy(); });
    EXPECT_TRUE(writer.DoneWithin(5s));
}

TEST_F(GuardedDataTest, WriteAndReadCopyTheWholeValue) {
    XCritData<int> data(5);
    EXPECT_EQ(data.Read(), 5);
    data.Write(7);
    EXPECT_EQ(*data.GetReadProxy(), 7);
    auto outer = data.GetProxy();
    data.Write(9);  // nested inside the thread's own write proxy
    EXPECT_EQ(*outer, 9);
}

TEST(CritDataErrorTest, ComposedMessage) {
    using XVQCritDataException::ComposeMessage;
    EXPECT_EQ(ComposeMessage("a.h", 36, "why"), "VQ CriticalData Error: , File: a.h, Line: 36, Reason: why");
    EXPECT_EQ(ComposeMessage("a.h", 36, ""), "VQ CriticalData Error: , File: a.h, Line: 36");
    EXPECT_EQ(ComposeMessage("a.h", -12, ""), "VQ CriticalData Error: , File: a.h, Line: -12");
    try {
        XVQCritDataException::RaiseCritDataError("f", 1, "r");
    } catch (std::exception& e) {
        EXPECT_STREQ(e.what(), "VQ CriticalData Error: , File: f, Line: 1, Reason: r");
    }
}

class CComCritDataTest : public GuardedDataTest {
  protected:
    void SetUp() override {
        GuardedDataTest::SetUp();
        if (!vqplatform::testing::FaultInjectionSupported(vqplatform::testing::Operation::CritSecEnter)) {
            GTEST_SKIP() << "lock fault injection is not available on this platform";
        }
    }
};

TEST_F(CComCritDataTest, FailingEnterIsLoggedRaisedAndLeavesNoReference) {
    XCComCritData<std::list<void*>> data;
    vqplatform::testing::FailNext(vqplatform::testing::Operation::CritSecEnter, 1, E_ACCESSDENIED);
    try {
        auto p = data.GetProxy();
        ADD_FAILURE() << "the failing enter was not raised";
    } catch (XVQCritDataException::XStdCritDataExcep& e) {
        EXPECT_STREQ(e.what(),
                     "VQ CriticalData Error: , File: Rudada64/XCComCritData.h, Line: 36, Reason: "
                     "CComAutoCriticalSection Lock() failed");
    }
    const auto entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].line, 33u);
    EXPECT_EQ(entries[0].severity, XVQEXCEP::SEVERITY_CRITICAL);
    EXPECT_EQ(entries[0].hr, E_ACCESSDENIED);
    EXPECT_EQ(entries[0].message, L"CComAutoCriticalSection Lock() failed");
    EXPECT_EQ(entries[0].function, L"XCritSectionTraits<CComAutoCriticalSection>::LockEx");
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
    {
        auto p = data.GetProxy();
        p->push_back(nullptr);
    }
    Contender other([&] { data.GetProxy()->push_back(nullptr); });
    EXPECT_TRUE(other.DoneWithin(5s));
}

TEST_F(CComCritDataTest, FailingLeaveIsRaisedAndTheRecordStillFreesTheLock) {
    XCComCritData<int> data;
    vqplatform::testing::FailNext(vqplatform::testing::Operation::CritSecLeave, 1, E_UNEXPECTED);
    EXPECT_THROW({ auto p = data.GetProxy(); }, XVQCritDataException::XStdCritDataExcep);
    ASSERT_EQ(XVQLogBook::Entries().size(), 1u);
    EXPECT_EQ(XVQLogBook::Entries()[0].line, 47u);
    EXPECT_EQ(XVQLogBook::Entries()[0].message, L"CComAutoCriticalSection Unlock() failed");
    EXPECT_EQ(data.Section().ThreadRefCount(), 1) << "the thread still holds the lock";
    data.Section().ReleaseLockRef();
    Contender other([&] { data.Write(3); });
    EXPECT_TRUE(other.DoneWithin(5s));
}

TEST_F(CComCritDataTest, FailingLeaveDuringUnwindingDoesNotTerminate) {
    XCComCritData<int> data;
    vqplatform::testing::FailNext(vqplatform::testing::Operation::CritSecLeave, 1, E_UNEXPECTED);
    EXPECT_THROW(
        {
            auto p = data.GetProxy();
            throw std::runtime_error("first");
        },
        std::runtime_error);
    EXPECT_EQ(XVQLogBook::Entries().size(), 1u);
    data.Section().ReleaseLockRef();
    EXPECT_EQ(data.Section().ThreadRefCount(), 0);
}

TEST_F(CComCritDataTest, FailingInitialisationRaisesTheMfcException) {
    vqplatform::testing::FailNext(vqplatform::testing::Operation::CritSecInit, 1, E_OUTOFMEMORY);
    try {
        XCComCritData<int> data;
        ADD_FAILURE() << "constructed despite the failing section";
    } catch (CException* e) {
        EXPECT_NE(dynamic_cast<CMemoryException*>(e), nullptr);
        e->Delete();
    }
}

}  // namespace

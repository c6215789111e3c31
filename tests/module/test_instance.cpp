// The emergency handler instance: initial state, Init (client identity, computer-name failure,
// worker start), and creation through Instance with its first-call race.
#include <chrono>
#include <future>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_registration_fixture.h"

namespace vqtest {
namespace {

using namespace std::chrono_literals;

TEST_F(InstanceTest, NewInstanceHoldsInitialValues) {
    EXPECT_EQ(instance.GetClientProcessId(), 0xFFFFFFFFu);
    EXPECT_TRUE(instance.GetClientComputerName().IsEmpty());
    EXPECT_TRUE(Registry().empty());
    EXPECT_EQ(instance.ExceptionLogger().GetReadProxy()->Capacity(), 100);
    EXPECT_EQ(instance.ExceptionLogger().GetReadProxy()->Count(), 0u);
    // No table yet: nothing can be fetched, and nothing is asked of a table.
    EXPECT_EQ(instance.GetServerEmergencyAgentFromGIT(1), nullptr);
    EXPECT_EQ(workerStarts, 0);
}

class InitTest : public InstanceTest {
  protected:
    void SetUp() override {
        InstanceTest::SetUp();
        if (!vqplatform::testing::IdentitySeamSupported()) {
            GTEST_SKIP() << "the computer-name seam is not available on this platform";
        }
    }
};

TEST_F(InitTest, RecordsProcessIdAndComputerNameAndStartsTheWorker) {
    vqplatform::testing::SetComputerName(L"CLIENT-07");
    instance.Init();
    EXPECT_EQ(instance.GetClientProcessId(), GetCurrentProcessId());
    EXPECT_EQ(instance.GetClientComputerName().ToWString(), L"CLIENT-07");
    EXPECT_EQ(workerStarts, 1);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(InitTest, FifteenCharacterNameFitsTheBuffer) {
    vqplatform::testing::SetComputerName(L"ABCDEFGHIJKLMNO");
    instance.Init();
    EXPECT_EQ(instance.GetClientComputerName().ToWString(), L"ABCDEFGHIJKLMNO");
}

TEST_F(InitTest, FailingComputerNameIsLoggedAndTheWorkerStartsAllTheSame) {
    // Sixteen characters do not fit the buffer of MAX_COMPUTERNAME_LENGTH + 1.
    vqplatform::testing::SetComputerName(L"ABCDEFGHIJKLMNOP");
    instance.Init();

    EXPECT_EQ(instance.GetClientProcessId(), 0xFFFFFFFFu);
    EXPECT_TRUE(instance.GetClientComputerName().IsEmpty());
    EXPECT_EQ(workerStarts, 1);
    const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].kind, XVQLogEntry::Kind::Exception);
    EXPECT_EQ(entries[0].message, L"GetComputerName failed");
    EXPECT_EQ(entries[0].file, ".\\xemergencyhandlerinstance");
    EXPECT_EQ(entries[0].line, 283u);
    EXPECT_EQ(entries[0].function, L"XEmergencyHandlerInstance::Init");
    EXPECT_EQ(entries[0].severity, XVQEXCEP::SEVERITY_ERROR);
    EXPECT_EQ(entries[0].type, XVQEXCEP::TYPE_MODULE);
    EXPECT_EQ(entries[0].hr, HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW));
}

TEST_F(InitTest, FailingComputerNameKeepsAnIdentityRecordedBefore) {
    vqplatform::testing::SetComputerName(L"FIRST");
    instance.Init();
    vqplatform::testing::FailComputerName(ERROR_ACCESS_DENIED);
    instance.Init();
    EXPECT_EQ(instance.GetClientProcessId(), GetCurrentProcessId());
    EXPECT_EQ(instance.GetClientComputerName().ToWString(), L"FIRST");
    ASSERT_EQ(XVQLogBook::Entries().size(), 1u);
    EXPECT_EQ(XVQLogBook::Entries()[0].hr, E_ACCESSDENIED);
}

TEST_F(InstanceTest, WorkerIsStartedByTheFirstInitOnly) {
    instance.Init();
    instance.Init();
    instance.Init();
    EXPECT_EQ(workerStarts, 1);
}

TEST_F(InstanceTest, WorkerStartErrorsReachTheCallerOfInit) {
    XEmergencyHandlerInstance failing(
        [](XEmergencyHandlerInstance&) { throw std::runtime_error("no worker"); });
    EXPECT_THROW(failing.Init(), std::runtime_error);
    // Only the computer name is logged by Init itself, and that did not fail here.
    for (const XVQLogEntry& entry : XVQLogBook::Entries()) {
        EXPECT_NE(entry.message, L"no worker");
    }
}

TEST_F(InstanceTest, InitRunsOneThreadAtATime) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    XEmergencyHandlerInstance held([&](XEmergencyHandlerInstance&) {
        entered.set_value();
        released.wait();
    });
    std::thread first([&] { held.Init(); });
    entered.get_future().wait();

    std::atomic<bool> secondDone{false};
    std::thread second([&] {
        held.Init();
        secondDone = true;
    });
    // The first Init is held in its last step; a second one must not get through meanwhile.
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(secondDone);
    release.set_value();
    first.join();
    second.join();
    EXPECT_TRUE(secondDone);
}

// An instance that counts its destruction, to see the losers of the first-call race go.
class CountedInstance : public XEmergencyHandlerInstance {
  public:
    CountedInstance(std::atomic<int>& destroyed, WorkerStarter startWorker)
        : XEmergencyHandlerInstance(std::move(startWorker)), m_destroyed(destroyed) {}
    ~CountedInstance() override { ++m_destroyed; }

  private:
    std::atomic<int>& m_destroyed;
};

TEST(InstanceCreationTest, FirstCallRaceInstallsOneInstanceAndStartsOneWorker) {
    constexpr int kThreads = 8;
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> workerStarts{0};
    const XEmergencyHandlerInstance::Factory create = [&]() -> XEmergencyHandlerInstance* {
        ++created;
        return new CountedInstance(destroyed, [&](XEmergencyHandlerInstance&) { ++workerStarts; });
    };

    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<XEmergencyHandlerInstance*> results(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.wait();
            results[i] = XEmergencyHandlerInstance::InstanceIn(slot, create);
        });
    }
    go.set_value();
    for (std::thread& thread : threads) {
        thread.join();
    }

    XEmergencyHandlerInstance* const installed = slot.load();
    ASSERT_NE(installed, nullptr);
    for (XEmergencyHandlerInstance* result : results) {
        EXPECT_EQ(result, installed);
    }
    EXPECT_GE(created, 1);
    EXPECT_EQ(destroyed, created - 1);
    EXPECT_EQ(workerStarts, 1);
    delete installed;
}

TEST(InstanceCreationTest, InstalledInstanceIsReturnedWithoutCreationOrInit) {
    std::atomic<int> workerStarts{0};
    XEmergencyHandlerInstance existing([&](XEmergencyHandlerInstance&) { ++workerStarts; });
    std::atomic<XEmergencyHandlerInstance*> slot{&existing};
    bool created = false;
    EXPECT_EQ(XEmergencyHandlerInstance::InstanceIn(slot,
                                                    [&]() -> XEmergencyHandlerInstance* {
                                                        created = true;
                                                        return nullptr;
                                                    }),
              &existing);
    EXPECT_FALSE(created);
    EXPECT_EQ(workerStarts, 0);
}

TEST(InstanceCreationTest, AllocationFailureLeavesTheSlotEmpty) {
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    EXPECT_THROW(XEmergencyHandlerInstance::InstanceIn(
                     slot, []() -> XEmergencyHandlerInstance* { throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_EQ(slot.load(), nullptr);
}

TEST(InstanceCreationTest, WorkerStartFailureLeavesTheInstanceInstalled) {
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    const auto create = [] {
        return new XEmergencyHandlerInstance(
            [](XEmergencyHandlerInstance&) { throw std::runtime_error("no worker"); });
    };
    EXPECT_THROW(XEmergencyHandlerInstance::InstanceIn(slot, create), std::runtime_error);
    XEmergencyHandlerInstance* const installed = slot.load();
    ASSERT_NE(installed, nullptr);
    // Later calls find it and run nothing again.
    EXPECT_EQ(XEmergencyHandlerInstance::InstanceIn(slot, create), installed);
    delete installed;
}

TEST(InstanceCreationTest, ProcessWideInstanceIsOneForAllThreads) {
    constexpr int kThreads = 4;
    std::vector<XEmergencyHandlerInstance*> results(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { results[i] = XEmergencyHandlerInstance::Instance(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_NE(results[0], nullptr);
    for (XEmergencyHandlerInstance* result : results) {
        EXPECT_EQ(result, results[0]);
    }
    EXPECT_EQ(XEmergencyHandlerInstance::Instance(), results[0]);
}

}  // namespace
}  // namespace vqtest

// Fault injection: counts, disarming and consumption across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;
using seams::Operation;

class FaultInjection : public ::testing::Test {
  protected:
    seams::ScopedReset reset_;
};

TEST_F(FaultInjection, FailsExactlyTheArmedNumberOfCalls) {
    seams::FailNext(Operation::GitGet, 5, 6);
    seams::FailNext(Operation::GitGet, 2, 0x80010108u);  // re-arming replaces
    DWORD error = 0;
    EXPECT_FALSE(seams::ConsumeFault(Operation::GitRegister, &error));
    EXPECT_TRUE(seams::ConsumeFault(Operation::GitGet, &error));
    EXPECT_EQ(error, 0x80010108u);
    EXPECT_TRUE(seams::ConsumeFault(Operation::GitGet, &error));
    EXPECT_FALSE(seams::ConsumeFault(Operation::GitGet, &error));

    seams::FailNext(Operation::SetEvent, 3, 6);
    seams::FailNext(Operation::SetEvent, 0, 6);
    EXPECT_FALSE(seams::ConsumeFault(Operation::SetEvent, &error));
    seams::FailNext(Operation::CritSecEnter, 3, 8);
    seams::ResetAll();
    EXPECT_FALSE(seams::ConsumeFault(Operation::CritSecEnter, &error));
}

TEST_F(FaultInjection, ThreadsShareTheArmedCount) {
    constexpr unsigned kArmed = 100;
    seams::FailNext(Operation::CreateEvent, kArmed, 8);
    std::atomic<unsigned> failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int call = 0; call < 200; ++call) {
                DWORD error = 0;
                failed += seams::ConsumeFault(Operation::CreateEvent, &error) ? 1 : 0;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failed.load(), kArmed);
}

TEST_F(FaultInjection, SupportPerPlatform) {
    EXPECT_TRUE(seams::FaultInjectionSupported(Operation::CritSecInit));
#if defined(_WIN32)
    const bool standIn = false;
#else
    const bool standIn = true;
#endif
    EXPECT_EQ(seams::FaultInjectionSupported(Operation::GitCreate), standIn);
    EXPECT_EQ(seams::ClockSeamSupported(), standIn);
    EXPECT_EQ(seams::IdentitySeamSupported(), standIn);
}

}  // namespace

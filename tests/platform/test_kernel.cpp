// Kernel calls: last error, ids, tick count and computer name, with their seams.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <time.h>
#include <unistd.h>

#include <climits>
#endif
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vqplatform/kernel.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;

class Kernel : public ::testing::Test {
  protected:
    seams::ScopedReset reset_;
};

TEST_F(Kernel, LastErrorIsPerThread) {
    // Set and read back while the other thread lives: on Windows creating and joining a thread
    // change the caller's last error themselves.
    std::atomic<bool> otherHasSet{false};
    DWORD seenByOther = 1;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_OUTOFMEMORY);
        otherHasSet = true;
    });
    SetLastError(ERROR_ACCESS_DENIED);
    while (!otherHasSet) {
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    other.join();
    EXPECT_EQ(seenByOther, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(Kernel, ThreadIdsAreUniqueAmongLiveThreads) {
    constexpr std::size_t kThreads = 8;
    std::mutex mutex;
    std::condition_variable cv;
    std::set<DWORD> ids = {GetCurrentThreadId()};
    std::size_t arrived = 0;
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            std::unique_lock<std::mutex> lock(mutex);
            ids.insert(GetCurrentThreadId());
            ++arrived;
            cv.notify_all();
            // Stay alive until all have taken their id, so that none can be recycled.
            cv.wait(lock, [&] { return arrived == kThreads; });
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(ids.size(), kThreads + 1);
}

TEST_F(Kernel, TickSeamsFixAndOffsetWithWrap) {
    if (!seams::ClockSeamSupported()) {
        GTEST_SKIP() << "the tick count is the SDK's on this platform";
    }
    seams::SetTickCount(0xFFFFFFF0u);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    seams::ResetAll();
    const DWORD base = GetTickCount();
    // An offset that carries the count past 2^32 wraps it to a small number.
    seams::SetTickCountOffset(0u - base);
    EXPECT_LT(GetTickCount(), 100u);
    seams::SetTickCountOffset(0xFFFFFFFFu - base);
    EXPECT_LT(GetTickCount() - 0xFFFFFFFFu, 100u);
    seams::ResetAll();
    EXPECT_LT(GetTickCount() - base, 100u);
}

TEST_F(Kernel, ComputerNameSizesAndSeams) {
    if (!seams::IdentitySeamSupported()) {
        GTEST_SKIP() << "the computer name is the SDK's on this platform";
    }
    wchar_t buffer[16] = {L'x'};
    DWORD size = 16;
    seams::SetComputerName(L"SIXTEEN-CHARS-XY");
    EXPECT_FALSE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, 17u);
    EXPECT_EQ(buffer[0], L'x');

    seams::SetComputerName(L"FIFTEEN.CHARS.X");  // dots are part of the name
    size = 16;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(size, 15u);
    EXPECT_STREQ(buffer, L"FIFTEEN.CHARS.X");

    EXPECT_FALSE(GetComputerNameW(buffer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    seams::FailComputerName(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

#if !defined(_WIN32)
TEST_F(Kernel, ValuesComeFromTheSystem) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms =
        static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000u + now.tv_nsec / 1000000);
    EXPECT_LT(GetTickCount() - ms, 100u);
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));

    char host[HOST_NAME_MAX + 1] = {};
    gethostname(host, sizeof host - 1);
    seams::SetComputerName(L"replaced");
    seams::ResetAll();
    wchar_t buffer[HOST_NAME_MAX + 1];
    DWORD size = HOST_NAME_MAX + 1;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(std::wstring(buffer), std::wstring(host, host + std::char_traits<char>::length(host)));
    EXPECT_EQ(size, std::char_traits<char>::length(host));
}
#endif

}  // namespace

// Kernel calls: last error, ids, tick count and computer name, with their seams.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <time.h>
#include <unistd.h>

#include <climits>
#endif
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
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 1;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_OUTOFMEMORY);
    });
    other.join();
    EXPECT_EQ(seenByOther, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Kernel, ThreadIdsAreStableAndUniqueAmongLiveThreads) {
    constexpr int kThreads = 8;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<DWORD> ids;
    bool release = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            const DWORD id = GetCurrentThreadId();
            std::unique_lock<std::mutex> lock(mutex);
            ids.push_back(id);
            cv.notify_all();
            // Stay alive until every id is in, so that no id can be recycled.
            cv.wait(lock, [&] { return release; });
            EXPECT_EQ(GetCurrentThreadId(), id);
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return ids.size() == kThreads; });
        release = true;
        cv.notify_all();
    }
    for (std::thread& t : threads) {
        t.join();
    }
    std::set<DWORD> unique(ids.begin(), ids.end());
    unique.insert(GetCurrentThreadId());
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads + 1));
}

TEST_F(Kernel, TickSeamsFixAndOffsetWithWrap) {
    if (!seams::ClockSeamSupported()) {
        GTEST_SKIP() << "the tick count is the SDK's on this platform";
    }
    seams::SetTickCount(0xFFFFFFF0u);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
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

TEST_F(Kernel, ComputerNameBufferTooSmall) {
    if (!seams::IdentitySeamSupported()) {
        GTEST_SKIP() << "the computer name is the SDK's on this platform";
    }
    seams::SetComputerName(L"SIXTEEN-CHARS-XY");
    wchar_t buffer[16] = {L'x'};
    DWORD size = 16;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, 17u);
    EXPECT_EQ(buffer[0], L'x');

    seams::SetComputerName(L"FIFTEEN-CHARS-X");
    size = 16;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(size, 15u);
    EXPECT_STREQ(buffer, L"FIFTEEN-CHARS-X");

    EXPECT_FALSE(GetComputerNameW(buffer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    seams::FailComputerName(ERROR_NOT_ENOUGH_MEMORY);
    size = 16;
    EXPECT_FALSE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(size, 16u);
}

#if !defined(_WIN32)
DWORD MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000u + now.tv_nsec / 1000000);
}

TEST_F(Kernel, TickCountAndProcessIdComeFromTheSystem) {
    const DWORD expected = MonotonicMs();
    EXPECT_LT(GetTickCount() - expected, 100u);
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

std::wstring HostName() {
    char narrow[HOST_NAME_MAX + 1] = {};
    gethostname(narrow, sizeof narrow - 1);
    return std::wstring(narrow, narrow + std::char_traits<char>::length(narrow));
}

TEST_F(Kernel, ComputerNameIsTheHostName) {
    wchar_t buffer[HOST_NAME_MAX + 1];
    DWORD size = HOST_NAME_MAX + 1;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(std::wstring(buffer), HostName());
    EXPECT_EQ(size, HostName().size());
}

TEST_F(Kernel, ComputerNameSeamReplacesAndResets) {
    seams::SetComputerName(L"host.example.org");
    wchar_t buffer[64];
    DWORD size = 64;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_STREQ(buffer, L"host.example.org");

    seams::FailComputerName(ERROR_NOT_ENOUGH_MEMORY);
    seams::ResetAll();
    size = 64;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(std::wstring(buffer), HostName());
}

#endif

}  // namespace

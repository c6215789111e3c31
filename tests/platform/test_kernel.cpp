// Base types and kernel calls: HRESULT helpers, BSTR layout, last error, tick count and computer
// name with their seams, and the counting of injected faults.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>

#include "vqplatform/platform.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;
using seams::Operation;

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(HRESULT) == 4 && sizeof(GUID) == 16,
              "Windows 64-bit sizes");

TEST(Types, HresultMacros) {
    const HRESULT unavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(unavailable, static_cast<HRESULT>(0x800706BA));
    EXPECT_EQ(HRESULT_FACILITY(unavailable), FACILITY_WIN32);
    EXPECT_EQ(HRESULT_CODE(unavailable), 1722);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)), E_FAIL) << "a failure HRESULT passes unchanged";
    EXPECT_EQ(MAKE_HRESULT(1, FACILITY_ITF, 0x200), static_cast<HRESULT>(0x80040200));
    EXPECT_EQ(HRESULT_FACILITY(RPC_E_CHANGED_MODE), FACILITY_RPC);
    EXPECT_TRUE(SUCCEEDED(S_FALSE) && FAILED(E_UNEXPECTED));
}

TEST(Types, BstrIsLengthPrefixedAndTerminated) {
    const OLECHAR chars[] = {L'a', L'\0', L'b', L'c'};
    BSTR s = SysAllocStringLen(chars, 3);
    ASSERT_NE(s, nullptr);
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(s) - sizeof prefix, sizeof prefix);
    EXPECT_EQ(prefix, 3 * sizeof(OLECHAR));
    EXPECT_EQ(SysStringByteLen(s), 3 * sizeof(OLECHAR));
    EXPECT_EQ(SysStringLen(s), 3u) << "embedded nulls count";
    EXPECT_EQ(s[2], L'b');
    EXPECT_EQ(s[3], L'\0');
    SysFreeString(s);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu / sizeof(OLECHAR)), nullptr)
        << "the prefix cannot hold it";
}

TEST(Kernel, LastErrorIsPerThread) {
    // Compared while the other thread lives: on Windows creating and joining a thread change the
    // caller's last error themselves.
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

TEST(Kernel, TickCountWrapsAndComputerNameOverflowsAtSixteenCharactersThroughTheirSeams) {
    if (!seams::ClockSeamSupported() || !seams::IdentitySeamSupported()) {
        GTEST_SKIP() << "the tick count and the computer name are the SDK's on this platform";
    }
    seams::ScopedReset reset;
    seams::SetTickCount(0xFFFFFFF0u);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    seams::ResetAll();
    const DWORD base = GetTickCount();
    seams::SetTickCountOffset(0u - base);  // carries the count past 2^32
    EXPECT_LT(GetTickCount(), 100u);
    seams::ResetAll();
    EXPECT_LT(GetTickCount() - base, 100u);

    wchar_t buffer[16] = {L'x'};
    DWORD size = 16;
    seams::SetComputerName(L"SIXTEEN-CHARS-XY");
    EXPECT_FALSE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, 17u) << "the length needed, null included";
    EXPECT_EQ(buffer[0], L'x');
    seams::SetComputerName(L"FIFTEEN.CHARS.X");
    size = 16;
    ASSERT_TRUE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(size, 15u);
    EXPECT_STREQ(buffer, L"FIFTEEN.CHARS.X");
    seams::FailComputerName(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(FaultInjection, FailsExactlyTheArmedNumberOfCalls) {
    seams::ScopedReset reset;
    DWORD error = 0;
    seams::FailNext(Operation::GitGet, 5, 6);
    seams::FailNext(Operation::GitGet, 2, 0x80010108u);  // re-arming replaces
    EXPECT_FALSE(seams::ConsumeFault(Operation::GitRegister, &error));
    EXPECT_TRUE(seams::ConsumeFault(Operation::GitGet, &error));
    EXPECT_EQ(error, 0x80010108u);
    EXPECT_TRUE(seams::ConsumeFault(Operation::GitGet, &error));
    EXPECT_FALSE(seams::ConsumeFault(Operation::GitGet, &error));
    seams::FailNext(Operation::SetEvent, 3, 6);
    seams::ResetAll();
    EXPECT_FALSE(seams::ConsumeFault(Operation::SetEvent, &error));
}

}  // namespace

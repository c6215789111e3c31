// Kernel calls the library reads through their seams, the tick count and the computer name; and the
// counting of injected faults that the other suites rely on.
#include <gtest/gtest.h>

#include <string>

#include "vqplatform/platform.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;
using seams::Operation;

TEST(Kernel, TickCountAndComputerNameFollowTheirSeams) {
    if (!seams::ClockSeamSupported() || !seams::IdentitySeamSupported()) {
        GTEST_SKIP() << "the tick count and the computer name are the SDK's on this platform";
    }
    seams::ScopedReset reset;
    const DWORD real = GetTickCount();
    seams::SetTickCount(real + 0x80000000u);
    EXPECT_EQ(GetTickCount(), real + 0x80000000u);
    EXPECT_EQ(GetTickCount(), real + 0x80000000u) << "fixed until reset";
    seams::ResetAll();
    EXPECT_LT(GetTickCount() - real, 0x40000000u) << "the real count again";

    // The size goes in as the buffer's capacity and comes out as the length, or the length needed
    // with the null when the name and its null do not fit.
    const struct {
        const wchar_t* name;
        BOOL ok;
        DWORD size;
    } kCases[] = {{L"FIFTEEN.CHARS.X", TRUE, 15}, {L"SIXTEEN-CHARS-XY", FALSE, 17}, {L"", TRUE, 0}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.name)));
        seams::SetComputerName(c.name);
        wchar_t buffer[16] = {L'x'};
        DWORD size = 16;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(GetComputerNameW(buffer, &size), c.ok);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.ok ? ERROR_SUCCESS : ERROR_BUFFER_OVERFLOW));
        EXPECT_STREQ(buffer, c.ok ? c.name : L"x") << "written only when it fits";
    }
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

// HRESULT helpers, type sizes and BSTR layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "vqplatform/platform.h"

namespace {

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(HRESULT) == 4, "Windows 64-bit sizes");
static_assert(sizeof(GUID) == 16, "GUID layout");

TEST(HresultMacros, Win32MappingFacilityAndCode) {
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    const HRESULT unavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(unavailable, static_cast<HRESULT>(0x800706BA));
    EXPECT_EQ(HRESULT_FACILITY(unavailable), FACILITY_WIN32);
    EXPECT_EQ(HRESULT_CODE(unavailable), 1722);
    // A value that already is a failure HRESULT passes unchanged.
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)), E_FAIL);
    EXPECT_EQ(MAKE_HRESULT(1, FACILITY_ITF, 0x200), static_cast<HRESULT>(0x80040200));
    EXPECT_EQ(HRESULT_FACILITY(RPC_E_CHANGED_MODE), FACILITY_RPC);
    EXPECT_EQ(HRESULT_CODE(E_INVALIDARG), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_UNEXPECTED));
}

std::uint32_t PrefixOf(BSTR bstr) {
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(bstr) - sizeof prefix, sizeof prefix);
    return prefix;
}

TEST(Bstr, PrefixHoldsByteLengthAndStringIsTerminated) {
    BSTR s = SysAllocString(L"hello");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(PrefixOf(s), 5 * sizeof(OLECHAR));
    EXPECT_EQ(SysStringByteLen(s), 5 * sizeof(OLECHAR));
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_STREQ(s, L"hello");
    SysFreeString(s);

    const OLECHAR chars[] = {L'a', L'\0', L'b', L'c'};
    s = SysAllocStringLen(chars, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);  // embedded nulls count
    EXPECT_EQ(s[2], L'b');
    EXPECT_EQ(s[3], L'\0');
    SysFreeString(s);
}

TEST(Bstr, NullAndEmptyInputs) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[4], L'\0');
    SysFreeString(blank);
    BSTR empty = SysAllocString(L"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
    // A length whose byte count cannot fit the prefix is refused.
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu / sizeof(OLECHAR)), nullptr);
}

}  // namespace

// The MFC exceptions' messages as MFC gives them: the system's text of the code, cut to the caller's
// buffer with its null; a code without a text is named by its number.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "vqplatform/platform.h"

namespace {

TEST(MfcExceptions, DescribeTheirCodeAsTheSystemDoes) {
    const std::pair<unsigned, const wchar_t*> rows[] = {
        {0x00000000, L"The operation completed successfully."},
        {0x80004001, L"Not implemented"},
        {0x80004002, L"No such interface supported"},
        {0x80004003, L"Invalid pointer"},
        {0x80004004, L"Operation aborted"},
        {0x80004005, L"Unspecified error"},
        {0x8000FFFF, L"Catastrophic failure"},
        {0x80070005, L"Access is denied."},
        {0x80070006, L"The handle is invalid."},
        {0x8007000E, L"Not enough memory resources are available to complete this operation."},
        {0x80070057, L"The parameter is incorrect."},
        {0x80010106, L"Cannot change thread mode after it is set."},
        {0x80010108, L"The object invoked has disconnected from its clients."},
        {0x80010105, L"The server threw an exception."},
        {0x800401F0, L"CoInitialize has not been called."},
        {0x80040110, L"Class does not support aggregation (or class object is remote)"},
        {0x80040154, L"Class not registered"},
        {0x800706BA, L"The RPC server is unavailable."},
        {0x800706BE, L"The remote procedure call failed."},
        {0x800706BF, L"The remote procedure call failed and did not execute."},
        {0x80041234, L"OLE error 0x80041234"}};
    for (const auto& [code, text] : rows) {
        wchar_t buffer[128] = {};
        EXPECT_TRUE(COleException(static_cast<SCODE>(code)).GetErrorMessage(buffer, 128));
        EXPECT_EQ(std::wstring(buffer), text) << std::hex << code;
    }
    wchar_t small[6] = L"xxxxx";
    UINT helpContext = 7;
    EXPECT_TRUE(CMemoryException().GetErrorMessage(small, 6, &helpContext));
    EXPECT_EQ(std::wstring(small), L"Out o");
    EXPECT_EQ(helpContext, 0u);
    EXPECT_FALSE(COleException(static_cast<SCODE>(0x80004005)).GetErrorMessage(nullptr, 6));
    EXPECT_FALSE(CException().GetErrorMessage(small, 6)) << "the base class has no message";
    EXPECT_EQ(std::wstring(small), L"");
}

}  // namespace

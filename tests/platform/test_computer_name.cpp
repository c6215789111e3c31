// The Linux stand-in's computer name: what Windows derives from the host name. On Windows the
// name is the system's own, so there is nothing of ours to test there.
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <utility>

#include "seams/HostName.h"
#include "vqplatform/platform.h"

namespace {

// The host's first DNS label, at most 15 characters, in upper case; a buffer without room for it and
// its null is refused; an unreadable host name fails with ERROR_GEN_FAILURE.
TEST(ComputerName, IsTheNetBiosNameOfTheHostUnlessItCannotBeRead) {
    const std::pair<const char*, const wchar_t*> rows[] = {
        {"client-host-with-a-very-long-name", L"CLIENT-HOST-WIT"},
        {"db1.example.org", L"DB1"},
        {"abcdefghijklmno", L"ABCDEFGHIJKLMNO"},
    };
    for (const auto& [host, expected] : rows) {
        SCOPED_TRACE(host);
        vqtest::ScopedHostName name(host);
        std::wstring buffer(MAX_COMPUTERNAME_LENGTH + 1, L'#');  // the name must end with its null
        DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
        ASSERT_TRUE(GetComputerNameW(buffer.data(), &size));
        EXPECT_EQ(std::make_pair(std::wstring(buffer.c_str()), size),
                  std::make_pair(std::wstring(expected), static_cast<DWORD>(std::wcslen(expected))));
        // One character short of the name and its null: refused, with the size it takes.
        EXPECT_FALSE(GetComputerNameW(buffer.data(), &size));
        EXPECT_EQ(std::make_pair(GetLastError(), size),
                  std::make_pair(static_cast<DWORD>(ERROR_BUFFER_OVERFLOW),
                                 static_cast<DWORD>(std::wcslen(expected) + 1)));
    }
    vqtest::ScopedUnreadableComputerName unreadable;
    wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    EXPECT_FALSE(GetComputerNameW(buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

}  // namespace
#endif

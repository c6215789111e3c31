// Win32 kernel calls on Linux.
#include "vqplatform/kernel.h"

#include <time.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cwchar>
#include <string>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// The name Windows derives from the host name: its first DNS label, cut to 15 characters, in upper
// case. Host names are ASCII (RFC 1123), so widening each byte is the whole conversion. False when
// the host name cannot be read.
bool NetBiosName(std::wstring* name) {
    char narrow[HOST_NAME_MAX + 1] = {};
    if (gethostname(narrow, sizeof narrow - 1) != 0) {
        return false;
    }
    name->clear();
    for (const char* c = narrow; *c != '\0' && *c != '.' && name->size() < MAX_COMPUTERNAME_LENGTH; ++c) {
        name->push_back(static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(*c))));
    }
    return true;
}

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

DWORD GetCurrentThreadId() {
    // Cached: the id never changes for a thread, and the lock bookkeeping asks for it on every
    // proxy, where a system call would dominate the cost.
    thread_local const DWORD s_threadId = static_cast<DWORD>(gettid());
    return s_threadId;
}

DWORD GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    if (size == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring name;
    if (!NetBiosName(&name)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const auto length = static_cast<DWORD>(name.size());
    if (*size < length + 1) {
        *size = length + 1;
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wmemcpy(buffer, name.c_str(), length + 1);
    *size = length;
    return TRUE;
}

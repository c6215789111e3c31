// Shared by the platform, task and scheduler tests, on Linux and Windows alike: draining a queue
// and a thread's exit code.
#pragma once

#include <gtest/gtest.h>

#include "vqplatform/platform.h"

namespace vqtest {

constexpr DWORD kSafetyTimeout = 5000;

// Waits (bounded) for `thread` to end and returns its exit code.
inline DWORD ExitCode(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

// Whether this thread's queue holds a message; takes them all off.
inline bool DrainQueue() {
    MSG msg;
    bool any = false;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        any = true;
    }
    return any;
}

}  // namespace vqtest

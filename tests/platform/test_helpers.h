// Shared by the platform, task and scheduler tests, on Linux and Windows alike: a message-only window
// that runs a posted callback when its thread dispatches the message (so a test sees on which thread
// and when dispatching happened), draining a queue, and a thread's exit code.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "vqplatform/platform.h"

namespace vqtest {

constexpr UINT kRunMessage = WM_APP + 1;
using WindowCallback = std::function<void()>;

inline LRESULT CALLBACK RunCallbackProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRunMessage) {
        (*reinterpret_cast<WindowCallback*>(wParam))();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

constexpr DWORD kSafetyTimeout = 5000;

// Waits (bounded) for `thread` to end and returns its exit code.
inline DWORD ExitCode(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
    DWORD code = 0xDEAD;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

// Drops every message queued for this thread without dispatching it.
inline void DrainQueue() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// Created on, and owned by, the constructing thread, which must also destroy it.
class MessageWindow {
  public:
    MessageWindow() {
        static const wchar_t* const kClass = L"VQTestRunCallbackWindow";
        static const ATOM registered = [] {
            WNDCLASSW c{};
            c.lpfnWndProc = RunCallbackProcedure;
            c.hInstance = GetModuleHandleW(nullptr);
            c.lpszClassName = kClass;
            return RegisterClassW(&c);
        }();
        EXPECT_NE(registered, 0);
        m_window = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    }
    ~MessageWindow() { DestroyWindow(m_window); }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    // Runs `callback`, which must live until then, when this window's thread dispatches it.
    BOOL Post(WindowCallback* callback) const {
        return PostMessageW(m_window, kRunMessage, reinterpret_cast<WPARAM>(callback), 0);
    }

  private:
    HWND m_window = nullptr;
};

}  // namespace vqtest

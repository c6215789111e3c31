// A message-only window for tests of message dispatching, on Linux and Windows alike: posting
// kRunMessage with a pointer to a callback in wParam runs that callback when the window's thread
// dispatches the message, so a test sees on which thread and when dispatching happened.
#pragma once

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

inline const wchar_t* RunCallbackClass() {
    static const ATOM atom = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = RunCallbackProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VQTestRunCallbackWindow";
        return RegisterClassW(&windowClass);
    }();
    return atom != 0 ? L"VQTestRunCallbackWindow" : nullptr;
}

// Created on, and owned by, the constructing thread, which must also destroy it.
class MessageWindow {
  public:
    MessageWindow()
        : m_window(CreateWindowExW(0, RunCallbackClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleW(nullptr), nullptr)) {}
    ~MessageWindow() {
        if (m_window != nullptr) {
            DestroyWindow(m_window);
        }
    }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND Handle() const { return m_window; }
    // The callback must live until it has been dispatched.
    bool Post(WindowCallback* callback) const {
        return PostMessageW(m_window, kRunMessage, reinterpret_cast<WPARAM>(callback), 0) != FALSE;
    }

  private:
    HWND m_window;
};

}  // namespace vqtest

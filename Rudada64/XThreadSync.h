// XThreadSync: create, signal and wait for the manual-reset events of the threaded tasks.
//
// Contract:
// - CreateEvent makes an unnamed manual-reset event with default security and stores its handle
//   into the caller's variable (NULL when creation fails); the caller owns and closes it. Given an
//   owner of vqplatform/handles.h instead, it closes the event the owner held first and leaves the
//   new one in the owner's care.
// - SetEvent signals an event; nothing here ever resets one.
// - WaitForEvent waits until the event is signalled (true) or a finite time-out passes (false),
//   dispatching the calling thread's messages, untranslated, for as long as it waits: window
//   procedures and message-delivered calls run inside it on the waiting thread. Each message that
//   wakes the wait restarts the whole time-out, so a thread that keeps receiving messages may wait
//   longer than the time-out. INFINITE waits without limit.
// - Every failure is thrown as an XWrappedVQException (type 2, empty second text) located in this
//   header; nothing is logged here and no code is returned. A NULL handle is refused before the
//   message queue is touched.
// - No state, no locks: any thread may call any operation on any event.
//
// On Windows <windows.h> maps CreateEvent to CreateEventW or CreateEventA; the macro renames the
// declaration and every call alike, so the operation works under either name.
#pragma once

#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/handles.h"
#include "vqplatform/platform.h"

#define VQ_THREAD_SYNC_FILE "Rudada64/XThreadSync.h"

class XThreadSync {
  public:
    XThreadSync() = delete;

    static void CreateEvent(HANDLE& hEvent, BOOL bInitialState) {
        VQ_FUNCTION_NAME(L"XThreadSync::CreateEvent()");
        hEvent = ::CreateEventW(nullptr, TRUE, bInitialState, nullptr);
        if (hEvent == nullptr) {
            ThrowExcepAtLastError(XVQEXCEP::VQ_TYPE_MODULE, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                                  VQ_LOCATION(VQ_THREAD_SYNC_FILE, 209), L"CreateEvent failed", L"", 1);
        }
    }

    // `Owner`: vqplatform::unique_handle or vqplatform::atomic_unique_handle.
    template <class Owner>
    static void CreateEvent(Owner& event, BOOL bInitialState) {
        event.reset();
        HANDLE hEvent = nullptr;
        CreateEvent(hEvent, bInitialState);
        event.reset(hEvent);
    }

    static void SetEvent(HANDLE hEvent) {
        VQ_FUNCTION_NAME(L"XThreadSync::SetEvent()");
        if (hEvent == nullptr) {
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_SEVERE,
                               VQ_LOCATION(VQ_THREAD_SYNC_FILE, 164), L"wait handle is NULL", L"", 1);
        }
        if (!::SetEvent(hEvent)) {
            ThrowExcepAtLastError(XVQEXCEP::VQ_TYPE_MODULE, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                                  VQ_LOCATION(VQ_THREAD_SYNC_FILE, 167), L"wait for signaled event failed",
                                  L"", 1);
        }
    }

    static bool WaitForEvent(HANDLE hEvent, DWORD dwTimeout) {
        VQ_FUNCTION_NAME(L"XThreadSync::WaitForEvent");
        if (hEvent == nullptr) {
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_SEVERE,
                               VQ_LOCATION(VQ_THREAD_SYNC_FILE, 50), L"wait handle is NULL", L"", 1);
        }
        // Every kind of input but QS_ALLPOSTMESSAGE and QS_RAWINPUT.
        constexpr DWORD kWakeMask = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_TIMER |
                                    QS_PAINT | QS_SENDMESSAGE | QS_HOTKEY;
        DWORD dwResult = WAIT_OBJECT_0 + 1;
        while (dwResult == WAIT_OBJECT_0 + 1) {
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                ::DispatchMessageW(&msg);
            }
            dwResult = ::MsgWaitForMultipleObjectsEx(1, &hEvent, dwTimeout, kWakeMask, 0);
        }
        if (dwResult == WAIT_FAILED) {
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                               VQ_LOCATION(VQ_THREAD_SYNC_FILE, 68), L"wait for signaled event failed", L"",
                               1);
        }
        if (dwResult == WAIT_TIMEOUT) {
            if (dwTimeout == INFINITE) {
                ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                                   VQ_LOCATION(VQ_THREAD_SYNC_FILE, 73),
                                   L"infinite wait event unexpectedly timed out", L"", 1);
            }
            return false;
        }
        return true;
    }
};

// Thread messages and message-pumping waits, as far as the library's waits use them.
//
// Linux stand-in semantics, matching Windows for thread messages (there are no windows):
// - Every thread has its own queue, created by its first PeekMessageW or MsgWaitForMultipleObjectsEx
//   and destroyed when the thread ends. PostThreadMessageW to a thread without a queue fails with
//   ERROR_INVALID_THREAD_ID.
// - PeekMessageW takes the thread's messages in posting order; window and range filters are not
//   supported (ERROR_NOT_SUPPORTED). Each call marks all queued messages as seen.
// - DispatchMessageW of a thread message (no window) does nothing and returns 0.
// - MsgWaitForMultipleObjectsEx waits on up to 63 handles (any one of them; no flags are supported)
//   and on input of the wake mask's kinds that arrived after the thread last looked at its queue
//   (PeekMessageW, or this wait reporting input); posted messages are QS_POSTMESSAGE and
//   QS_ALLPOSTMESSAGE input. It returns WAIT_OBJECT_0 + i for the first signalled handle,
//   WAIT_OBJECT_0 + count for input, WAIT_TIMEOUT or WAIT_FAILED.
// All calls are thread-safe and none throws.
#pragma once

#include "vqplatform/sync.h"

#if !defined(_WIN32)
#include <cstdint>

using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;

struct HWND__;
using HWND = HWND__*;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

#define WM_APP 0x8000

#define PM_REMOVE 0x0001

#define QS_KEY 0x0001
#define QS_MOUSEMOVE 0x0002
#define QS_MOUSEBUTTON 0x0004
#define QS_POSTMESSAGE 0x0008
#define QS_TIMER 0x0010
#define QS_PAINT 0x0020
#define QS_SENDMESSAGE 0x0040
#define QS_HOTKEY 0x0080
#define QS_ALLPOSTMESSAGE 0x0100
#define QS_ALLINPUT 0x04FF

#define ERROR_INVALID_THREAD_ID 1444L

VQPLATFORM_API BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
VQPLATFORM_API BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage);
VQPLATFORM_API LRESULT DispatchMessageW(const MSG* msg);
VQPLATFORM_API DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                                 DWORD wakeMask, DWORD flags);
#endif

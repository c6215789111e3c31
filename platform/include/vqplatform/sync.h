// Win32 kernel objects and waits: events, handles, WaitForSingleObject.
//
// Linux stand-in semantics, matching Windows:
// - Handles are entries of one process-wide handle table. A handle value is never given out twice,
//   so a closed handle stays invalid: using or closing it again fails with ERROR_INVALID_HANDLE
//   (WAIT_FAILED for waits), never touches another object and never crashes. An object lives until
//   its last handle is closed and nobody waits on it any more; closing a handle while another thread
//   waits on it lets that wait go on.
// - CreateEventW makes manual-reset events with the given initial state, the only kind the library
//   uses: auto-reset and named events fail with ERROR_NOT_SUPPORTED. Security attributes are
//   ignored.
// - SetEvent signals: the event wakes every waiter and stays signalled, since nothing resets it.
// - WaitForSingleObject waits for an event or a thread handle (vqplatform/threads.h); a time-out of
//   0 only tests, INFINITE waits without limit. Time-outs are measured on a steady clock of their own,
//   not on GetTickCount, so a tick count that tests hold still never stretches a wait.
// All calls are thread-safe and none throws.
#pragma once

#include "vqplatform/types.h"

#if !defined(_WIN32)
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#define WAIT_OBJECT_0 ((DWORD)0x00000000)
#define WAIT_TIMEOUT ((DWORD)258)
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

#define ERROR_NOT_SUPPORTED 50L

VQPLATFORM_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                   LPCWSTR name);
VQPLATFORM_API BOOL SetEvent(HANDLE event);
VQPLATFORM_API BOOL CloseHandle(HANDLE handle);
VQPLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
#endif

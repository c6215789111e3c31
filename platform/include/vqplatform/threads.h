// Threads: the runtime's _beginthreadex and the Win32 thread calls on its handles.
//
// Linux stand-in semantics, as far as the scheduler uses them:
// - _beginthreadex starts a POSIX thread and returns a handle of the handle table
//   (vqplatform/sync.h), 0 on failure with errno set and the reason in GetLastError. The thread id
//   is known at once, also for a suspended thread. CREATE_SUSPENDED is honoured: the routine does
//   not begin before ResumeThread has brought the suspend count to 0. Only the default stack size (0)
//   and no flag but CREATE_SUSPENDED are supported (else ERROR_INVALID_PARAMETER).
// - The handle becomes signalled, and GetExitCodeThread gives the routine's result instead of
//   STILL_ACTIVE, once the thread has ended including its thread-local cleanup (its message queue,
//   vqplatform/messages.h). An exception escaping the routine ends the process, as an
//   unhandled exception does on Windows.
// - ResumeThread returns the previous suspend count (0 for a thread that runs or has ended).
// - Priorities are not mapped to Linux: SetThreadPriority accepts THREAD_PRIORITY_NORMAL and fails
//   with ERROR_NOT_SUPPORTED for any other level.
// - TerminateThread cannot end a running thread on Linux: no safe way exists to stop a thread that
//   may hold locks or run destructors. It ends a thread that was created suspended and never
//   resumed (its routine never runs; the exit code is the one given), succeeds without effect on a
//   thread that has already ended, and otherwise fails with ERROR_NOT_SUPPORTED while the thread
//   runs on untouched.
// GetCurrentThreadId is declared in vqplatform/kernel.h. All calls are thread-safe.
#pragma once

#include "vqplatform/sync.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <cstdint>

#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 259

#define THREAD_PRIORITY_NORMAL 0

VQPLATFORM_API std::uintptr_t _beginthreadex(void* security, unsigned stackSize,
                                             unsigned(WINAPI* startAddress)(void*), void* argument,
                                             unsigned initFlag, unsigned* threadId);
VQPLATFORM_API DWORD ResumeThread(HANDLE thread);
VQPLATFORM_API BOOL SetThreadPriority(HANDLE thread, int priority);
VQPLATFORM_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
VQPLATFORM_API BOOL TerminateThread(HANDLE thread, DWORD exitCode);
#endif

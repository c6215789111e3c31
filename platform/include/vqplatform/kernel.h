// Win32 kernel calls: last error, process and thread ids, tick count, computer name.
//
// Linux stand-in semantics, matching Windows:
// - GetLastError/SetLastError are per thread.
// - GetCurrentThreadId is the kernel thread id: 32-bit and unique among the live threads.
// - GetTickCount counts milliseconds since an arbitrary start, 32-bit, monotonic, and wraps after
//   about 49.7 days.
// - GetComputerNameW gives the NetBIOS name that Windows derives from the host name: its first DNS
//   label, cut to MAX_COMPUTERNAME_LENGTH (15) characters, in upper case; a buffer of 16 characters
//   always holds it. The size is in and out in wide characters: on success it receives the length
//   without the terminating null; when the buffer cannot hold the name and its null, the call fails
//   with ERROR_BUFFER_OVERFLOW and the size receives the length needed, null included. When the host
//   name cannot be read it fails with ERROR_GEN_FAILURE. (Tests replace the host name by
//   interposing gethostname.)
#pragma once

#include "vqplatform/types.h"

#if !defined(_WIN32)
VQPLATFORM_API DWORD GetLastError();
VQPLATFORM_API void SetLastError(DWORD error);
VQPLATFORM_API DWORD GetCurrentProcessId();
VQPLATFORM_API DWORD GetCurrentThreadId();
VQPLATFORM_API DWORD GetTickCount();
VQPLATFORM_API BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);
#endif

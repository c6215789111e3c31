// Test seams of the platform layer. Compiled into the library, for tests only: production code
// never arms them, and an unarmed seam costs one relaxed atomic load.
//
// Fault injection: FailNext(op, n, error) makes the next n calls of `op` in the process fail with
// `error` (a Win32 error code for kernel operations, which the call then leaves in GetLastError;
// an HRESULT for COM and lock operations, which the call returns); with `after`, the n calls that
// follow the next `after` calls, which succeed. Faults are process-wide and consumed by whichever
// thread calls next.
//
// Which seams work where: on Linux all of them. On Windows the kernel and COM calls are the real
// SDK, so only operations that pass through this layer's own code can fail on demand
// (FaultInjectionSupported tells), and the clock seam is Linux only. Tests that
// need an unsupported seam skip with that reason.
#pragma once

#include <string>
#include <vector>

#include "vqplatform/systemlog.h"
#include "vqplatform/types.h"

namespace vqplatform::testing {

enum class Operation {
    CreateEvent,   // CreateEventW returns NULL
    SetEvent,      // SetEvent returns FALSE
    Wait,          // WaitForSingleObject / MsgWaitForMultipleObjectsEx return WAIT_FAILED
    CreateThread,  // _beginthreadex returns 0
    SetThreadPriority,
    CoInitialize,  // CoInitializeEx returns the armed HRESULT
    GitCreate,     // CoCreateInstance of the Global Interface Table
    GitRegister,   // RegisterInterfaceInGlobal
    GitGet,        // GetInterfaceFromGlobal
    CritSecInit,   // CComAutoCriticalSection constructor throws (MFC exception)
    CritSecEnter,  // CComAutoCriticalSection::Lock returns the armed HRESULT
    CritSecLeave,  // CComAutoCriticalSection::Unlock returns the armed HRESULT
};

VQPLATFORM_API void FailNext(Operation op, unsigned count, DWORD error, unsigned after = 0);
VQPLATFORM_API bool FaultInjectionSupported(Operation op);

// Used by the platform layer itself: true (and the armed error) when this call is to fail.
VQPLATFORM_API bool ConsumeFault(Operation op, DWORD* error);

// Clock: GetTickCount returns `fixed` until reset.
VQPLATFORM_API void SetTickCount(DWORD fixed);
VQPLATFORM_API bool ClockSeamSupported();

// System log: while captured, WriteSystemLog keeps its lines (at most the last 1,000) for
// TakeSystemLog instead of writing them.
struct SystemLogLine {
    LogLevel level;
    std::string text;
};
VQPLATFORM_API void CaptureSystemLog();
VQPLATFORM_API std::vector<SystemLogLine> TakeSystemLog();

// Disarms every seam: faults, clock and system-log capture.
VQPLATFORM_API void ResetAll();

}  // namespace vqplatform::testing

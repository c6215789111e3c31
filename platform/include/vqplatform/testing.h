// Test seams of the platform layer. Compiled into the library, for tests only: production code
// never arms them, and an unarmed seam costs one relaxed atomic load.
//
// Fault injection: FailNext(op, n, error) makes the next n calls of `op` in the process fail with
// `error` (a Win32 error code for kernel operations, which the call then leaves in GetLastError;
// an HRESULT for COM and lock operations, which the call returns). Faults are process-wide and
// consumed by whichever thread calls next.
//
// Which seams work where: on Linux all of them. On Windows the kernel and COM calls are the real
// SDK, so only operations that pass through this layer's own code can fail on demand
// (FaultInjectionSupported tells), and the clock and computer-name seams are Linux only. Tests that
// need an unsupported seam skip with that reason.
#pragma once

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

VQ_EXPORT void FailNext(Operation op, unsigned count, DWORD error);
VQ_EXPORT bool FaultInjectionSupported(Operation op);

// Used by the platform layer itself: true (and the armed error) when this call is to fail.
VQ_EXPORT bool ConsumeFault(Operation op, DWORD* error);

// Clock: GetTickCount returns `fixed` until reset.
VQ_EXPORT void SetTickCount(DWORD fixed);
VQ_EXPORT bool ClockSeamSupported();

// Identity: GetComputerNameW reports `name` until reset.
VQ_EXPORT void SetComputerName(const wchar_t* name);
VQ_EXPORT bool IdentitySeamSupported();

// Disarms every seam: faults, clock and identity.
VQ_EXPORT void ResetAll();

// Resets every seam when it goes out of scope; a test fixture holds one.
class ScopedReset {
  public:
    ScopedReset() = default;
    ScopedReset(const ScopedReset&) = delete;
    ScopedReset& operator=(const ScopedReset&) = delete;
    ~ScopedReset() { ResetAll(); }
};

}  // namespace vqplatform::testing

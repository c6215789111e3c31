// The platform's calls as the tests steer them: chosen calls fail, the tick count stands still, the
// system log's lines are kept. The test program replaces the calls themselves (seams/Interposition.h)
// on Linux and Windows alike; the libraries hold no seam.
//
// Fault injection: FailNext(op, n, error) makes the next n calls of `op` on the calling thread fail
// with `error` (a Win32 error code for kernel operations, which the call then leaves in
// GetLastError; an HRESULT for COM and lock operations, which the call returns); with `after`, the
// n calls that follow the next `after` calls, which succeed. Only the arming thread's calls fail,
// so that the threads of the runtime and of other objects never take a fault. An operation has one
// fault at a time: arming it again replaces the fault, whichever thread armed it before.
#pragma once

#include <string>
#include <vector>

#include "vqplatform/systemlog.h"
#include "vqplatform/types.h"

namespace vqtest::seams {

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

void FailNext(Operation op, unsigned count, DWORD error, unsigned after = 0);

// GetTickCount returns `fixed`, in every thread, until ResetAll.
void SetTickCount(DWORD fixed);

// While captured, vqplatform::WriteSystemLog keeps its lines for TakeSystemLog instead of writing
// them.
struct SystemLogLine {
    vqplatform::LogLevel level;
    std::string text;
};
void CaptureSystemLog();
std::vector<SystemLogLine> TakeSystemLog();

// Disarms every seam: the faults, the clock and the system-log capture.
void ResetAll();

}  // namespace vqtest::seams

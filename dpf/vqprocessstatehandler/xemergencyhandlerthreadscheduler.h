// XEmergencyHandlerThreadScheduler: creates the threads of threaded tasks and records their handles
// in the thread registry (XStateHandlerInstance).
//
// Contract:
// - StartThread(routine, param, priority) creates a thread suspended through _beginthreadex,
//   appends its handle to the thread registry (which keeps it open), gives it `priority` when that
//   is zero or positive (a negative one leaves the default without a call) and resumes it. The
//   thread runs RunThreadTask, which runs routine(param) within the platform's structured-exception
//   translating frame (vqplatform::RunTranslated); the thread's exit code is the routine's result.
// - A thread that cannot be created is thrown (XWrappedVQException, type 2, severity 8, HRESULT
//   from the last error, "_beginthreadex failed"); nothing is recorded. The handle is recorded
//   before the thread runs: when that fails, the thread is ended before it has begun and the
//   registry's error is thrown, so a failed StartThread never leaves a thread running. A failed
//   priority or resume is logged as an API error and the thread stays recorded.
// - RunThreadTask never lets an error out: it logs what the routine throws (short logging ladder)
//   and a NULL parameter, and then returns 0xFFFFFFFF.
// - Reports are located in ".\xemergencyhandlerinstance" with the module name.
// - Threads: any thread may start threads; the registry is guarded data (ATL lock variant), held
//   only while one handle is appended.
#pragma once

#include "Rudada64/XThreadedTask.h"
#include "vqplatform/platform.h"

// What a new thread receives: the routine to run and its parameter. Allocated by StartThread and
// freed by RunThreadTask, also when the routine throws; freed by StartThread when no thread came.
struct XThreadTaskParam {
    XThreadTaskRoutine routine;
    void* param;
};

class XEmergencyHandlerThreadScheduler {
  public:
    // The lazily created scheduler object; the scheduler's work needs none.
    static XEmergencyHandlerThreadScheduler* Instance();

    static void StartThread(XThreadTaskRoutine routine, void* param, int priority);

    // The routine given to _beginthreadex; `param` is an XThreadTaskParam.
    static unsigned WINAPI RunThreadTask(void* param);
};

// The traits through which the emergency handler task reaches this scheduler, under their own
// function name.
template <>
class XThreadedTaskTraits::XThreadSchedulerTraits<XEmergencyHandlerThreadScheduler> {
  public:
    static void StartThread(XThreadTaskRoutine routine, void* param, int priority) {
        VQ_FUNCTION_NAME(
            L"XThreadedTaskTraits::XThreadSchedulerTraits<XEmergencyHandlerThreadScheduler>::StartThread");
        XEmergencyHandlerThreadScheduler::StartThread(routine, param, priority);
    }
};

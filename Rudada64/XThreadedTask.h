// XThreadedTask: the base of a unit of work that runs once on a thread of its own.
//
// Contract:
// - A derived class supplies the body, Execute(owner*), whose result becomes the thread's exit
//   code. Start(p) has ThreadSchedulerTraits::StartThread(routine, task, priority) create the
//   thread, once: a task that has run stays Stopped, and later Starts do nothing. A thread that
//   could not be created leaves the task NotStarted (the scheduler's exception leaves Start), and
//   Start may try again.
// - The status goes NotStarted -> Running (Start, after the thread was created) -> Stopped (the
//   task thread, when the body has returned or thrown). Three manual-reset events mark the thread's
//   life: the start event (signalled as the body begins), the completion event (signalled with
//   Stopped) and the termination event (signalled last). None is ever reset; the task closes them.
// - No error of the body or of the task's own bookkeeping leaves the task thread: each is stored
//   and GetTaskException() returns the last one (empty when none). Start, Stop and
//   WaitForTermination throw their errors (XWrappedVQException, type 2, located in this header).
// - Stop() asks a running task to stop (IsStopRequested() becomes true; the body must poll it) and
//   waits without time limit, dispatching the calling thread's messages, until the task thread has
//   finished; on a stopped task it only waits for the thread's end, on a task never started it does
//   nothing. It must not be called on the task thread itself.
// - The destructor stops the task and closes its events; it logs its errors and never throws. An
//   error skips the closing: a task thread that did not stop may still signal the events, so they
//   stay open. A derived class must stop the task in its own destructor: once the derived part is
//   destroyed, a thread that has not yet entered the body can no longer reach it.
// - Threads: Start on any thread, the body on the task thread, Stop, WaitForTermination,
//   GetTaskException and the destructor on any other. The status and the stored error are guarded
//   data; the status lock is held across thread creation, so the task thread cannot mark the task
//   Stopped before Start has marked it Running. Both have their place in the lock order
//   (XThreadedTaskLockRank): a scheduler's own guarded data ranks above the status.
// - XThreadedTaskTraits::XThreadSchedulerTraits<Scheduler> forwards StartThread to a scheduler
//   class; a traits class may be any class with that static function.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include "Rudada64/XBasicCritSection.h"
#include "Rudada64/XThreadSync.h"
#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/handles.h"

#define VQ_THREADED_TASK_FILE "Rudada64/XThreadedTask.h"

// A routine that a scheduler runs on a new thread; its result is the thread's exit code.
using XThreadTaskRoutine = unsigned (*)(void*);

namespace XThreadedTaskTraits {

template <class Scheduler>
class XThreadSchedulerTraits {
  public:
    static void StartThread(XThreadTaskRoutine routine, void* param, int priority) {
        Scheduler::StartThread(routine, param, priority);
    }
};

}  // namespace XThreadedTaskTraits

// The task's guarded data in the lock order (XBasicCritSection.h). Start holds the status while the
// scheduler creates and records the thread; nothing is locked while the stored error is held.
namespace XThreadedTaskLockRank {

inline constexpr XLockRank kProceedStatus{1};
inline constexpr XLockRank kTaskException{2};

}  // namespace XThreadedTaskLockRank

template <class owner, class ThreadSchedulerTraits>
class XThreadedTask {
  public:
    enum ProceedStatus : std::int32_t { NotStarted = 0, Running = 1, Stopped = 2 };

    // A negative priority leaves the thread at the default priority.
    explicit XThreadedTask(int nPriority) : m_nPriority(nPriority) {
        VQ_FUNCTION_NAME(L"XThreadedTask::XThreadedTask");
        XThreadSync::CreateEvent(m_hTaskStartEvent, FALSE);
    }

    XThreadedTask(const XThreadedTask&) = delete;
    XThreadedTask& operator=(const XThreadedTask&) = delete;

    virtual ~XThreadedTask() {
        bool bClosed = false;
        try {
            // Inside the try: building the name allocates, and a destructor must not throw.
            VQ_FUNCTION_NAME(L"XThreadedTask::~XThreadedTask()");
            bClosed = vqerr::ShortLoggingLadder(VQ_THREADED_TASK_FILE, 194, 198, s_szFunctionName, [this] {
                Stop();
                {
                    auto status = m_ProceedStatus.GetReadProxy();
                    m_hTaskCompletionEvent.reset();
                }
                m_hTaskStartEvent.reset();
                m_hTaskTerminationEvent.reset();
            });
        } catch (...) {
            // A handler of the ladder failed itself; a destructor must not throw.
        }
        if (!bClosed) {
            // An error skipped the closing: a task thread that did not stop may still signal them.
            static_cast<void>(m_hTaskCompletionEvent.release());
            static_cast<void>(m_hTaskStartEvent.release());
            static_cast<void>(m_hTaskTerminationEvent.release());
        }
    }

    virtual void SetTaskException(const XWrappedVQException& exception) { m_TaskException.Write(exception); }

    virtual DWORD Execute(owner* p) = 0;

    // Gives this task a start event of its own; the handle that stood there belongs to the
    // prototype and is not closed.
    virtual XThreadedTask& CopyPrototype(const XThreadedTask& /*prototype*/) {
        VQ_FUNCTION_NAME(L"XThreadedTask::CopyPrototype");
        static_cast<void>(m_hTaskStartEvent.release());
        XThreadSync::CreateEvent(m_hTaskStartEvent, FALSE);
        return *this;
    }

    void Start(owner* p) {
        VQ_FUNCTION_NAME(L"XThreadedTask::Start()");
        auto status = m_ProceedStatus.GetProxy();
        if (*status != NotStarted) {
            return;
        }
        m_pOwner = p;
        // Closes the completion event of an earlier try first.
        XThreadSync::CreateEvent(m_hTaskCompletionEvent, FALSE);
        ThreadSchedulerTraits::StartThread(&XThreadedTask::TaskThreadRoutine, this, m_nPriority);
        *status = Running;
    }

    void Stop() {
        VQ_FUNCTION_NAME(L"XThreadedTask::Stop()");
        {
            auto status = m_ProceedStatus.GetReadProxy();
            if (*status == NotStarted) {
                return;
            }
            if (*status == Stopped) {
                // The task thread signals the termination event without taking the status lock.
                WaitForTermination();
                return;
            }
        }
        // Read once: Start has created it before the task could run, and it stays until destruction.
        const HANDLE hCompletionEvent = m_hTaskCompletionEvent.get();
        if (hCompletionEvent == nullptr) {
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                               VQ_LOCATION(VQ_THREADED_TASK_FILE, 528), L"no task completion event created",
                               L"", 1);
        }
        m_nStopRequest.exchange(1);
        if (!XThreadSync::WaitForEvent(hCompletionEvent, INFINITE)) {
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                               VQ_LOCATION(VQ_THREADED_TASK_FILE, 534), L"wait event timeout", L"", 1);
        }
        WaitForTermination();
    }

    void WaitForTermination() {
        VQ_FUNCTION_NAME(L"XThreadedTask::WaitForTermination()");
        const HANDLE hTerminationEvent = m_hTaskTerminationEvent.get();
        if (hTerminationEvent == nullptr) {
            return;
        }
        if (!XThreadSync::WaitForEvent(hTerminationEvent, INFINITE)) {
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                               VQ_LOCATION(VQ_THREADED_TASK_FILE, 555), L"wait event timeout", L"", 1);
        }
    }

    bool IsStopRequested() const { return m_nStopRequest.load(std::memory_order_acquire) == 1; }

    XWrappedVQException GetTaskException() { return m_TaskException.Read(); }

    // The task thread's body: no error leaves it, each is stored in the task exception.
    DWORD _Execute(owner* p) {
        VQ_FUNCTION_NAME(L"XThreadedTask<owner, ThreadSchedulerTraits>::_Execute(owner* p)");
        DWORD dwResult = 0;
        try {
            XThreadSync::CreateEvent(m_hTaskTerminationEvent, FALSE);
            if (!m_hTaskStartEvent) {
                ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                                   VQ_LOCATION(VQ_THREADED_TASK_FILE, 410), L"task start event not created",
                                   L"", 1);
            }
            if (!::SetEvent(m_hTaskStartEvent.get())) {
                SetTaskException(
                    CreateExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                                        VQ_LOCATION(VQ_THREADED_TASK_FILE, 414), L"SetEvent failed", L"", 1));
            }
            dwResult = Execute(p);
        } catch (XWrappedVQException& e) {
            SetTaskException(e);
        } catch (std::exception& e) {
            SetTaskException(XVQError::CreateExcep(e, VQ_LOCATION(VQ_THREADED_TASK_FILE, 425),
                                                   XVQEXCEP::VQ_SEVERITY_SEVERE, L""));
        } catch (...) {
            SetTaskException(XVQError::CreateUnknownExcep(VQ_LOCATION(VQ_THREADED_TASK_FILE, 429), L""));
        }
        try {
            SetTaskStopped();
        } catch (XWrappedVQException& e) {
            SetTaskException(e);
        } catch (...) {
            SetTaskException(XVQError::CreateUnknownExcep(VQ_LOCATION(VQ_THREADED_TASK_FILE, 442), L""));
        }
        if (!::SetEvent(m_hTaskTerminationEvent.get())) {
            SetTaskException(
                CreateExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                                    VQ_LOCATION(VQ_THREADED_TASK_FILE, 448), L"SetEvent failed", L"", 1));
        }
        return dwResult;
    }

    void SetTaskStopped() {
        VQ_FUNCTION_NAME(L"XThreadedTask::SetTaskStopped()");
        auto status = m_ProceedStatus.GetProxy();
        if (*status == NotStarted || *status == Stopped) {
            return;
        }
        if (!m_hTaskCompletionEvent) {
            XThreadSync::CreateEvent(m_hTaskCompletionEvent, FALSE);
        }
        *status = Stopped;
        if (!::SetEvent(m_hTaskCompletionEvent.get())) {
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_CRITICAL,
                               VQ_LOCATION(VQ_THREADED_TASK_FILE, 308), L"SetEvent failed", L"", 1);
        }
    }

    // The routine the scheduler runs on the task thread; `param` is the task.
    static unsigned TaskThreadRoutine(void* param) {
        try {
            auto* pTask = static_cast<XThreadedTask*>(param);
            // Read before the body: once the termination event is signalled, another thread may
            // destroy the task.
            const bool bAutoDelete = pTask->m_nAutoDelete == 1;
            const DWORD dwResult = pTask->_Execute(pTask->m_pOwner);
            if (bAutoDelete) {
                delete pTask;
            }
            return dwResult;
        } catch (...) {
            return 1;
        }
    }

  protected:
    owner* m_pOwner = nullptr;
    std::atomic<std::uint32_t> m_nStopRequest{0};
    // When 1 as the task thread begins, that thread destroys the task after the body.
    std::uint32_t m_nAutoDelete = 0;
    vqplatform::unique_handle m_hTaskStartEvent;
    // Set by Start and the task thread, each under the status write proxy; Stop reads it without.
    vqplatform::atomic_unique_handle m_hTaskCompletionEvent;
    // Created by the task thread while other threads may already wait for it.
    vqplatform::atomic_unique_handle m_hTaskTerminationEvent;
    int m_nPriority;
    XCritData<ProceedStatus> m_ProceedStatus{XThreadedTaskLockRank::kProceedStatus, NotStarted};
    XCritData<XWrappedVQException> m_TaskException{XThreadedTaskLockRank::kTaskException};
};

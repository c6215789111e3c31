// Threads on Linux: POSIX threads behind handles of the handle table.
#include "vqplatform/threads.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "vqplatform/kernel.h"
#include "waitable.h"

namespace vqplatform::detail {
namespace {

using Routine = unsigned(WINAPI*)(void*);

class ThreadObject final : public Waitable {
  public:
    ThreadObject(Routine routine, void* argument, bool suspended)
        : m_routine(routine), m_argument(argument), m_suspendCount(suspended ? 1 : 0) {}

    bool Poll() override { return m_finished.load(std::memory_order_acquire); }

    // On the new thread: publishes its id, then waits for the resume. False when the thread was
    // terminated before it began, with the exit code it was given.
    bool Begin(DWORD* exitCode) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_threadId = GetCurrentThreadId();
        m_idKnown = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_suspendCount == 0 || m_terminated; });
        *exitCode = m_exitCode;
        return !m_terminated;
    }

    unsigned Run() { return m_routine(m_argument); }

    // On the new thread, after its thread-local cleanup.
    void Finish(DWORD exitCode) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_exitCode = exitCode;
            m_finished.store(true, std::memory_order_release);
        }
        WakeAll();
    }

    DWORD WaitForId() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_idKnown; });
        return m_threadId;
    }

    DWORD Resume() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const DWORD previous = m_suspendCount;
        if (previous > 0 && --m_suspendCount == 0) {
            m_changed.notify_all();
        }
        return previous;
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_finished.load(std::memory_order_relaxed) ? m_exitCode : STILL_ACTIVE;
    }

    BOOL Terminate(DWORD exitCode) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished.load(std::memory_order_relaxed) || m_terminated) {
            return TRUE;
        }
        if (m_suspendCount == 0) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        m_terminated = true;
        m_exitCode = exitCode;
        m_changed.notify_all();
        return TRUE;
    }

  private:
    const Routine m_routine;
    void* const m_argument;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    DWORD m_suspendCount;
    bool m_idKnown = false;
    DWORD m_threadId = 0;
    bool m_terminated = false;
    DWORD m_exitCode = STILL_ACTIVE;
    std::atomic<bool> m_finished{false};
};

// Constructed first on every thread started here, so destroyed last: the handle is signalled only
// after the thread's other thread-local objects (its message queue) are gone.
struct ThreadExit {
    std::shared_ptr<ThreadObject> object;
    DWORD exitCode = STILL_ACTIVE;

    ~ThreadExit() {
        if (object != nullptr) {
            object->Finish(exitCode);
        }
    }
};

thread_local ThreadExit t_exit;

void* ThreadMain(void* raw) noexcept {
    std::unique_ptr<std::shared_ptr<ThreadObject>> start(static_cast<std::shared_ptr<ThreadObject>*>(raw));
    ThreadExit& exit = t_exit;
    exit.object = std::move(*start);
    start.reset();
    if (exit.object->Begin(&exit.exitCode)) {
        exit.exitCode = exit.object->Run();
    }
    return nullptr;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case EAGAIN:
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EPERM:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace
}  // namespace vqplatform::detail

using vqplatform::detail::FindObjectAs;
using vqplatform::detail::ThreadObject;

std::uintptr_t _beginthreadex(void* /*security*/, unsigned stackSize, unsigned(WINAPI* startAddress)(void*),
                              void* argument, unsigned initFlag, unsigned* threadId) {
    if (startAddress == nullptr || stackSize != 0 || (initFlag & ~CREATE_SUSPENDED) != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto object = std::make_shared<ThreadObject>(startAddress, argument, (initFlag & CREATE_SUSPENDED) != 0);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto start = std::make_unique<std::shared_ptr<ThreadObject>>(object);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, vqplatform::detail::ThreadMain, start.get());
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        SetLastError(vqplatform::detail::ErrorFromErrno(error));
        return 0;
    }
    // The new thread owns its start record now.
    static_cast<void>(start.release());
    const DWORD id = object->WaitForId();
    if (threadId != nullptr) {
        *threadId = id;
    }
    return reinterpret_cast<std::uintptr_t>(vqplatform::detail::InsertObject(std::move(object)));
}

DWORD ResumeThread(HANDLE thread) {
    std::shared_ptr<ThreadObject> object = FindObjectAs<ThreadObject>(thread);
    return object == nullptr ? static_cast<DWORD>(-1) : object->Resume();
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    if (FindObjectAs<ThreadObject>(thread) == nullptr) {
        return FALSE;
    }
    if (priority != THREAD_PRIORITY_NORMAL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    std::shared_ptr<ThreadObject> object = FindObjectAs<ThreadObject>(thread);
    if (object == nullptr) {
        return FALSE;
    }
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
    std::shared_ptr<ThreadObject> object = FindObjectAs<ThreadObject>(thread);
    return object == nullptr ? FALSE : object->Terminate(exitCode);
}

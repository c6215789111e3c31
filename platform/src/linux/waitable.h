// Internal to the Linux platform layer: kernel objects, the handle table and the one wait loop that
// WaitForSingleObject and MsgWaitForMultipleObjectsEx share.
//
// A waiting thread polls its sources, spins briefly (most wake-ups between threads that hand work
// back and forth come within microseconds, and a sleep costs two context switches), then attaches
// its own Waiter to every source and sleeps until one of them wakes it or the time-out passes.
// Sources change their state first and wake their attached waiters afterwards, under the lock that
// also guards attaching, so no wake-up is lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "vqplatform/kernel.h"
#include "vqplatform/sync.h"

namespace vqplatform::detail {

// One thread's wake-up slot.
class Waiter {
  public:
    void Reset();
    void Wake();
    // Sleeps until woken or until `deadline` (no limit when `infinite`); false on time-out.
    bool Sleep(bool infinite, std::chrono::steady_clock::time_point deadline);

  private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
};

// Something a wait can end on.
class WakeSource {
  public:
    virtual ~WakeSource() = default;
    // True when the wait may end on this source.
    virtual bool Poll() = 0;
    virtual void Attach(Waiter* waiter) = 0;
    virtual void Detach(Waiter* waiter) = 0;
};

// A kernel object with a signalled state, reachable through handles.
class Waitable : public WakeSource {
  public:
    void Attach(Waiter* waiter) override;
    void Detach(Waiter* waiter) override;

  protected:
    // Call after the state has changed towards signalled.
    void WakeAll();

  private:
    std::mutex m_waitersMutex;
    std::vector<Waiter*> m_waiters;
};

// Waits until one of `sources` polls true; returns its index, or WAIT_TIMEOUT.
DWORD WaitForSources(WakeSource* const* sources, std::size_t count, DWORD milliseconds);

HANDLE InsertObject(std::shared_ptr<Waitable> object);
// Null (and ERROR_INVALID_HANDLE in GetLastError) for a handle that is not open.
std::shared_ptr<Waitable> FindObject(HANDLE handle);

template <class T>
std::shared_ptr<T> FindObjectAs(HANDLE handle) {
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(FindObject(handle));
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return object;
}

}  // namespace vqplatform::detail

// Events, the handle table and the shared wait loop on Linux.
#include "vqplatform/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <unordered_map>
#include <utility>

#include "vqplatform/kernel.h"
#include "waitable.h"

namespace vqplatform::detail {
namespace {

// How long a wait polls between yields before it goes to sleep: about as long as a wake-up of a
// sleeping thread on another processor takes, so a partner that answers at once is caught without
// that cost. Bounded by time, not by rounds: on a busy machine one yield may give the processor away
// for a while.
constexpr auto kSpinTime = std::chrono::microseconds(50);

class HandleTable {
  public:
    HANDLE Insert(std::shared_ptr<Waitable> object) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_next += kStep;
        m_objects.emplace(m_next, std::move(object));
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a handle is a table key, never dereferenced
        return reinterpret_cast<HANDLE>(m_next);
    }

    std::shared_ptr<Waitable> Find(HANDLE handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }

    // The object is handed out so that its destruction runs outside the table's lock.
    std::shared_ptr<Waitable> Erase(HANDLE handle, bool* found) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        *found = it != m_objects.end();
        if (!*found) {
            return nullptr;
        }
        std::shared_ptr<Waitable> object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

  private:
    // Multiples of 4, as on Windows; 64 bits never run out, so no value is given out twice.
    static constexpr std::uintptr_t kStep = 4;

    std::mutex m_mutex;
    std::uintptr_t m_next = 0x100;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Waitable>> m_objects;
};

// Never destroyed: threads may still close handles while static destructors run.
HandleTable& Handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

Waiter& CurrentWaiter() {
    thread_local Waiter waiter;
    return waiter;
}

// A manual-reset event; nothing resets it.
class Event final : public Waitable {
  public:
    explicit Event(bool signalled) : m_signalled(signalled) {}

    bool Poll() override { return m_signalled.load(std::memory_order_acquire); }

    void Set() {
        m_signalled.store(true, std::memory_order_release);
        WakeAll();
    }

  private:
    std::atomic<bool> m_signalled;
};

}  // namespace

void Waiter::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_woken = false;
}

// Notifies after unlocking, so the sleeper does not wake only to block on the mutex. The waiter
// cannot go meanwhile: it detaches from a source under the lock that the waker holds.
void Waiter::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_wake.notify_one();
}

bool Waiter::Sleep(bool infinite, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (infinite) {
        m_wake.wait(lock, [this] { return m_woken; });
        return true;
    }
    return m_wake.wait_until(lock, deadline, [this] { return m_woken; });
}

void Waitable::Attach(Waiter* waiter) {
    std::lock_guard<std::mutex> lock(m_waitersMutex);
    m_waiters.push_back(waiter);
}

void Waitable::Detach(Waiter* waiter) {
    std::lock_guard<std::mutex> lock(m_waitersMutex);
    for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
        if (*it == waiter) {
            m_waiters.erase(it);
            return;
        }
    }
}

void Waitable::WakeAll() {
    std::lock_guard<std::mutex> lock(m_waitersMutex);
    for (Waiter* waiter : m_waiters) {
        waiter->Wake();
    }
}

DWORD WaitForSources(WakeSource* const* sources, std::size_t count, DWORD milliseconds) {
    const auto poll = [sources, count]() -> DWORD {
        for (std::size_t i = 0; i < count; ++i) {
            if (sources[i]->Poll()) {
                return static_cast<DWORD>(i);
            }
        }
        return WAIT_TIMEOUT;
    };
    DWORD result = poll();
    if (result != WAIT_TIMEOUT || milliseconds == 0) {
        return result;
    }
    const bool infinite = milliseconds == INFINITE;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(milliseconds);
    const auto spinEnd = infinite ? start + kSpinTime : std::min(deadline, start + kSpinTime);
    while (std::chrono::steady_clock::now() < spinEnd) {
        std::this_thread::yield();
        result = poll();
        if (result != WAIT_TIMEOUT) {
            return result;
        }
    }
    Waiter& waiter = CurrentWaiter();
    waiter.Reset();
    for (std::size_t i = 0; i < count; ++i) {
        sources[i]->Attach(&waiter);
    }
    for (;;) {
        result = poll();
        if (result != WAIT_TIMEOUT) {
            break;
        }
        if (!waiter.Sleep(infinite, deadline)) {
            result = poll();
            break;
        }
        waiter.Reset();
    }
    for (std::size_t i = 0; i < count; ++i) {
        sources[i]->Detach(&waiter);
    }
    return result;
}

HANDLE InsertObject(std::shared_ptr<Waitable> object) {
    return Handles().Insert(std::move(object));
}

std::shared_ptr<Waitable> FindObject(HANDLE handle) {
    std::shared_ptr<Waitable> object = Handles().Find(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return object;
}

}  // namespace vqplatform::detail

using vqplatform::detail::Event;
using vqplatform::detail::FindObject;
using vqplatform::detail::FindObjectAs;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr || manualReset == FALSE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return vqplatform::detail::InsertObject(std::make_shared<Event>(initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
    std::shared_ptr<Event> object = FindObjectAs<Event>(event);
    if (object == nullptr) {
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    bool found = false;
    const std::shared_ptr<vqplatform::detail::Waitable> object =
        vqplatform::detail::Handles().Erase(handle, &found);
    if (!found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<vqplatform::detail::Waitable> object = FindObject(handle);
    if (object == nullptr) {
        return WAIT_FAILED;
    }
    vqplatform::detail::WakeSource* source = object.get();
    const DWORD result = vqplatform::detail::WaitForSources(&source, 1, milliseconds);
    return result == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

// Owners of raw platform resources, in the manner of WIL's unique_handle: each releases what it
// holds exactly once, in its destructor or when it is reset, and none can be copied.
//
// - unique_handle: a kernel handle (event, thread), closed with CloseHandle. Null is "nothing".
// - atomic_unique_handle: the same for a handle that other threads read while its owner may still
//   set it (a handle one thread creates and another waits for); get() is an acquiring load, and
//   setting publishes the handle before the old one is closed.
// - unique_couninitialize: one CoInitializeEx of the calling thread, undone with CoUninitialize
//   only when that call succeeded (S_FALSE included). It must end on the thread that initialised.
// release() gives up ownership without releasing: the resource then stays as it is for good.
// Nothing here throws.
#pragma once

#include <atomic>
#include <utility>

#include "vqplatform/com.h"
#include "vqplatform/sync.h"

namespace vqplatform {

class unique_handle {
  public:
    unique_handle() noexcept = default;
    explicit unique_handle(HANDLE handle) noexcept : m_handle(handle) {}
    unique_handle(unique_handle&& other) noexcept : m_handle(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_handle() { reset(); }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;

    HANDLE get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }
    HANDLE release() noexcept { return std::exchange(m_handle, nullptr); }
    // Closes the handle held (unless it is `handle` itself) and holds `handle`.
    void reset(HANDLE handle = nullptr) noexcept {
        const HANDLE old = std::exchange(m_handle, handle);
        if (old != nullptr && old != handle) {
            ::CloseHandle(old);
        }
    }

  private:
    HANDLE m_handle = nullptr;
};

class atomic_unique_handle {
  public:
    atomic_unique_handle() noexcept = default;
    ~atomic_unique_handle() { reset(); }
    atomic_unique_handle(const atomic_unique_handle&) = delete;
    atomic_unique_handle& operator=(const atomic_unique_handle&) = delete;

    HANDLE get() const noexcept { return m_handle.load(std::memory_order_acquire); }
    explicit operator bool() const noexcept { return get() != nullptr; }
    HANDLE release() noexcept { return m_handle.exchange(nullptr, std::memory_order_acq_rel); }
    void reset(HANDLE handle = nullptr) noexcept {
        unique_handle old(m_handle.exchange(handle, std::memory_order_acq_rel));
        if (old.get() == handle) {
            static_cast<void>(old.release());
        }
    }

  private:
    std::atomic<HANDLE> m_handle{nullptr};
};

class unique_couninitialize {
  public:
    unique_couninitialize() noexcept = default;
    // Owns the call that returned `hrInit` when it succeeded; a failed one needs no undoing.
    explicit unique_couninitialize(HRESULT hrInit) noexcept : m_bInitialized(SUCCEEDED(hrInit)) {}
    unique_couninitialize(unique_couninitialize&& other) noexcept : m_bInitialized(other.release()) {}
    unique_couninitialize& operator=(unique_couninitialize&& other) noexcept {
        if (this != &other) {
            reset();
            m_bInitialized = other.release();
        }
        return *this;
    }
    ~unique_couninitialize() { reset(); }
    unique_couninitialize(const unique_couninitialize&) = delete;
    unique_couninitialize& operator=(const unique_couninitialize&) = delete;

    explicit operator bool() const noexcept { return m_bInitialized; }
    bool release() noexcept { return std::exchange(m_bInitialized, false); }
    void reset() noexcept {
        if (release()) {
            ::CoUninitialize();
        }
    }

  private:
    bool m_bInitialized = false;
};

}  // namespace vqplatform

// Guarded data: a value together with a lock of its own, reachable only through scoped proxies.
//
// Contract:
// - XCritData<T> holds the value. GetProxy() gives a write proxy (changeable access), GetReadProxy()
//   a read proxy (const access); Write() and Read() assign or copy the whole value under a scoped
//   reference. A proxy holds the lock for exactly its lifetime. Proxies are built in the caller's
//   storage and can be neither copied nor moved, so each reference is dropped exactly once.
// - Any thread may take proxies. References are counted per thread: a thread that holds the value
//   may take more proxies on it (nested write, or read inside write) without blocking on itself;
//   only its first reference acquires the main lock and only its last releases it, with the access
//   mode (read or write) of the outermost reference. Readers of different threads share; a writer
//   excludes everybody else.
// - A write proxy inside a read proxy of the same thread is refused: it throws an
//   XWrappedVQException (type 8, E_FAIL, severity 8, "unable to add a write lock reference to a read
//   lock", line 111) and the thread's count is restored, so the outer read proxy still releases the
//   lock.
// - A release without a matching reference is logged to the log book (type 8), never thrown.
// - Lock order between different guarded values is the caller's rule; this header imposes none.
//
// Bookkeeping: each section keeps a table of per-thread records (thread id, count, read flag),
// one per thread that holds it right now, changed under a spin lock held for a few instructions and
// never while the main lock is acquired or released. A thread also remembers which records are its
// own, so nested references and releases touch neither the table nor the spin lock.
#pragma once

#include <atomic>
#include <exception>
#include <thread>
#include <utility>
#include <deque>
#include <vector>

#include "VQComUtilities/XCriticalSectionEx.h"
#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/kernel.h"

#define VQ_CRIT_SECTION_FILE "Rudada64/XBasicCritSection.h"

// Lock policy: how the main lock is taken for reading or writing.
template <class L>
struct XCritSectionTraits;

template <>
struct XCritSectionTraits<XCriticalSectionEx> {
    using LockType = XCriticalSectionEx;
    static void LockEx(XCriticalSectionEx& lock, bool read) { lock.Lock(read); }
    static void UnlockEx(XCriticalSectionEx& lock, bool read) { lock.Unlock(read); }
    static constexpr bool kUnlockMayThrow = false;
};

// The count lock: guards the per-thread table only.
class XCountLock {
  public:
    void Lock() noexcept {
        while (m_flag.test_and_set(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    void Unlock() noexcept { m_flag.clear(std::memory_order_release); }

  private:
    std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
};

class XCountLockGuard {
  public:
    explicit XCountLockGuard(XCountLock& lock) noexcept : m_lock(lock) { m_lock.Lock(); }
    ~XCountLockGuard() { m_lock.Unlock(); }
    XCountLockGuard(const XCountLockGuard&) = delete;
    XCountLockGuard& operator=(const XCountLockGuard&) = delete;

  private:
    XCountLock& m_lock;
};

// The sections the calling thread holds right now, each with its record: a thread's nested
// references find their record here without the count lock. Only the owning thread reads or
// writes its own record's count, so that needs no lock; slots are claimed and freed under the
// count lock. A few inline slots serve the usual nesting without allocation; a thread that holds
// more sections at once spills into the overflow list.
struct XHeldSection {
    const void* section;
    void* record;
};
inline constexpr int kHeldSectionSlots = 8;
struct XHeldSections {
    XHeldSection slots[kHeldSectionSlots] = {};
    std::vector<XHeldSection> overflow;

    XHeldSection* Find(const void* section) noexcept {
        for (XHeldSection& slot : slots) {
            if (slot.section == section) {
                return &slot;
            }
        }
        for (XHeldSection& slot : overflow) {
            if (slot.section == section) {
                return &slot;
            }
        }
        return nullptr;
    }
    // Throws std::bad_alloc when the overflow list cannot grow; nothing is added then.
    void Add(const void* section, void* record) {
        for (XHeldSection& slot : slots) {
            if (slot.section == nullptr) {
                slot = XHeldSection{section, record};
                return;
            }
        }
        overflow.push_back(XHeldSection{section, record});
    }
    void Remove(const void* section) noexcept {
        for (XHeldSection& slot : slots) {
            if (slot.section == section) {
                slot = XHeldSection{nullptr, nullptr};
                return;
            }
        }
        for (XHeldSection& slot : overflow) {
            if (slot.section == section) {
                slot = overflow.back();
                overflow.pop_back();
                return;
            }
        }
    }
};
inline XHeldSections& ThreadHeldSections() noexcept {
    thread_local XHeldSections t_held;
    return t_held;
}

template <class Traits>
class XBasicRefCountCritSection {
  public:
    using LockType = typename Traits::LockType;
    static constexpr bool kReleaseMayThrow = Traits::kUnlockMayThrow;

    XBasicRefCountCritSection() = default;
    virtual ~XBasicRefCountCritSection() = default;
    XBasicRefCountCritSection(const XBasicRefCountCritSection&) = delete;
    XBasicRefCountCritSection& operator=(const XBasicRefCountCritSection&) = delete;

    void AddLockRef() {
        VQ_FUNCTION_NAME(L"XBasicRefCountCritSection::AddLockRef()");
        XRecord* record = HeldRecord();
        if (record == nullptr) {
            record = Claim(0);
            AcquireMain(record, false);
            return;
        }
        if (record->readFlag == 1) {
            // The reference is refused, so the count does not take it.
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_CRITICAL_DATA, E_FAIL, XVQEXCEP::VQ_SEVERITY_SEVERE,
                               VQ_LOCATION(VQ_CRIT_SECTION_FILE, 111),
                               L"unable to add a write lock reference to a read lock", L"", 1);
        }
        ++record->count;
    }

    void AddReadLockRef() {
        XRecord* record = HeldRecord();
        if (record == nullptr) {
            record = Claim(1);
            AcquireMain(record, true);
            return;
        }
        ++record->count;
    }

    void ReleaseLockRef() {
        VQ_FUNCTION_NAME(L"XBasicRefCountCritSection::ReleaseLockRef()");
        XRecord* record = HeldRecord();
        if (record == nullptr) {
            Report(VQ_LOCATION(VQ_CRIT_SECTION_FILE, 216),
                   L"trying to unlock the critical section without having it locked for the running thread");
            return;
        }
        const LONG count = --record->count;
        if (count < 0) {
            Report(VQ_LOCATION(VQ_CRIT_SECTION_FILE, 180),
                   L"trying to unlock the critical section being already unlocked for the running thread "
                   L"before");
            return;
        }
        if (count > 0) {
            return;
        }
        const LONG readFlag = record->readFlag;
        // Freed before the main lock is released: only this thread ever touches its own record, so
        // nobody can observe the difference, and one pass of the count lock is saved.
        Free(record);
        try {
            Traits::UnlockEx(m_mainLock, readFlag == 1);
        } catch (...) {
            // The thread still holds the main lock: its record says so again, and a later release
            // can free it.
            record = Claim(readFlag);
            throw;
        }
    }

    // For tests and diagnostics: the calling thread's reference count (0 when it holds none).
    LONG ThreadRefCount() const noexcept {
        const XRecord* record = HeldRecord();
        return record == nullptr ? 0 : record->count;
    }

  private:
    // One thread's references; `thread` 0 marks a free slot. Slots keep their address (a deque
    // grows at the end without moving elements), so the held-section cache may point at them.
    struct XRecord {
        DWORD thread;
        LONG count;
        LONG readFlag;
    };

    XRecord* HeldRecord() const noexcept {
        const XHeldSection* const held = ThreadHeldSections().Find(this);
        return held == nullptr ? nullptr : static_cast<XRecord*>(held->record);
    }

    // A new record with count 1 for the calling thread, known to hold no record yet.
    XRecord* Claim(LONG readFlag) {
        XRecord* record = nullptr;
        {
            XCountLockGuard guard(m_countLock);
            for (XRecord& slot : m_threads) {
                if (slot.thread == 0) {
                    record = &slot;
                    break;
                }
            }
            if (record == nullptr) {
                record = &m_threads.emplace_back();
            }
            *record = XRecord{GetCurrentThreadId(), 1, readFlag};
        }
        try {
            ThreadHeldSections().Add(this, record);
        } catch (...) {
            XCountLockGuard guard(m_countLock);
            *record = XRecord{0, 0, 0};
            throw;
        }
        return record;
    }

    void Free(XRecord* record) noexcept {
        ThreadHeldSections().Remove(this);
        XCountLockGuard guard(m_countLock);
        *record = XRecord{0, 0, 0};
    }

    void AcquireMain(XRecord* record, bool read) {
        try {
            Traits::LockEx(m_mainLock, read);
        } catch (...) {
            // Nothing was locked: the thread holds no reference.
            Free(record);
            throw;
        }
    }

    static void Report(const VQErrorLocation& location, const OLECHAR* message) noexcept {
        try {
            XVQError::WriteErrorToLogBook(XVQExceptionFactory::CreateSystemException(
                                              XVQEXCEP::VQ_TYPE_CRITICAL_DATA, location, message, L""),
                                          false, 0);
        } catch (...) {
            // A report that cannot be made must not turn a release into a failure.
        }
    }

    LockType m_mainLock;
    XCountLock m_countLock;
    std::deque<XRecord> m_threads;
};

// Gives the reference-counted section back to the scoped references.
template <class B>
class _XRefCountCritSecWrapper {
  public:
    using Section = B;

    explicit _XRefCountCritSecWrapper(B* section) noexcept : m_section(section) {}
    B* Get() const noexcept { return m_section; }

  private:
    B* m_section;
};

// Scoped write reference. Its destructor may throw when the lock itself fails to leave (ATL
// variant), but only when no other exception is in flight: then the failure is reported and dropped.
template <class W>
class _XSmartRefCountCritSection_Impl {
  public:
    explicit _XSmartRefCountCritSection_Impl(const W& wrapper) : m_wrapper(wrapper) {
        m_wrapper.Get()->AddLockRef();
    }
    // NOLINTNEXTLINE(bugprone-exception-escape): throws by design, as the comment above says
    virtual ~_XSmartRefCountCritSection_Impl() noexcept(false) { Release(m_wrapper, m_uncaught); }
    _XSmartRefCountCritSection_Impl(const _XSmartRefCountCritSection_Impl&) = delete;
    _XSmartRefCountCritSection_Impl& operator=(const _XSmartRefCountCritSection_Impl&) = delete;

    static int UncaughtNow() noexcept {
        return W::Section::kReleaseMayThrow ? std::uncaught_exceptions() : 0;
    }
    static void Release(const W& wrapper, int uncaughtAtStart) {
        if (!W::Section::kReleaseMayThrow || UncaughtNow() == uncaughtAtStart) {
            wrapper.Get()->ReleaseLockRef();
            return;
        }
        try {
            wrapper.Get()->ReleaseLockRef();
        } catch (...) {
            // Unwinding already: a second exception would terminate the process. The lock layer
            // has logged the failure.
        }
    }

  private:
    W m_wrapper;
    int m_uncaught = UncaughtNow();
};

template <class B, class W = _XRefCountCritSecWrapper<B>>
class _XSmartRefCountCritSection : public _XSmartRefCountCritSection_Impl<W> {
  public:
    explicit _XSmartRefCountCritSection(B& section) : _XSmartRefCountCritSection_Impl<W>(W(&section)) {}
};

// Scoped read reference.
template <class W>
class _XSmartReadRefCountCritSection_Impl {
  public:
    explicit _XSmartReadRefCountCritSection_Impl(const W& wrapper) : m_wrapper(wrapper) {
        m_wrapper.Get()->AddReadLockRef();
    }
    virtual ~_XSmartReadRefCountCritSection_Impl() noexcept(false) {
        _XSmartRefCountCritSection_Impl<W>::Release(m_wrapper, m_uncaught);
    }
    _XSmartReadRefCountCritSection_Impl(const _XSmartReadRefCountCritSection_Impl&) = delete;
    _XSmartReadRefCountCritSection_Impl& operator=(const _XSmartReadRefCountCritSection_Impl&) = delete;

  private:
    W m_wrapper;
    int m_uncaught = _XSmartRefCountCritSection_Impl<W>::UncaughtNow();
};

template <class B, class W = _XRefCountCritSecWrapper<B>>
class _XSmartReadRefCountCritSection : public _XSmartReadRefCountCritSection_Impl<W> {
  public:
    explicit _XSmartReadRefCountCritSection(B& section)
        : _XSmartReadRefCountCritSection_Impl<W>(W(&section)) {}
};

template <class T>
class XCritProxyData {
  public:
    explicit XCritProxyData(T* value) noexcept : m_value(value) {}
    // May be combined with a reference whose release can throw (see below).
    virtual ~XCritProxyData() noexcept(false) = default;
    XCritProxyData(const XCritProxyData&) = delete;
    XCritProxyData& operator=(const XCritProxyData&) = delete;

  protected:
    T* m_value;
};

// The value pointer is set before the reference is taken and stays set until it is dropped
// (bases are built in declaration order and destroyed in reverse).
template <class T, class W, class D = XCritProxyData<T>>
class _XCritProxy_Impl : public D, public _XSmartRefCountCritSection_Impl<W> {
  public:
    _XCritProxy_Impl(T* value, const W& wrapper) : D(value), _XSmartRefCountCritSection_Impl<W>(wrapper) {}
    T* Get() const noexcept { return this->m_value; }
    T* operator->() const noexcept { return this->m_value; }
    T& operator*() const noexcept { return *this->m_value; }
};

template <class T, class W, class D = XCritProxyData<T>>
class _XCritReadProxy_Impl : public D, public _XSmartReadRefCountCritSection_Impl<W> {
  public:
    _XCritReadProxy_Impl(T* value, const W& wrapper)
        : D(value), _XSmartReadRefCountCritSection_Impl<W>(wrapper) {}
    const T* Get() const noexcept { return this->m_value; }
    const T* operator->() const noexcept { return this->m_value; }
    const T& operator*() const noexcept { return *this->m_value; }
};

template <class T, class B, class W>
class XCritData;

// Write proxy: changeable access while it lives.
template <class T, class B, class W>
class XCritProxy : public _XCritProxy_Impl<T, W> {
  public:
    XCritProxy(const XCritProxy&) = delete;
    XCritProxy(XCritProxy&&) = delete;
    XCritProxy& operator=(const XCritProxy&) = delete;

    XCritData<T, B, W>* Owner() const noexcept { return m_owner; }

  private:
    friend class XCritData<T, B, W>;
    XCritProxy(T* value, B& section, XCritData<T, B, W>* owner)
        : _XCritProxy_Impl<T, W>(value, W(&section)), m_owner(owner) {}

    XCritData<T, B, W>* m_owner;
};

// Read proxy: const access while it lives.
template <class T, class B, class W>
class XCritReadProxy : public _XCritReadProxy_Impl<T, W> {
  public:
    XCritReadProxy(const XCritReadProxy&) = delete;
    XCritReadProxy(XCritReadProxy&&) = delete;
    XCritReadProxy& operator=(const XCritReadProxy&) = delete;

  private:
    friend class XCritData<T, B, W>;
    XCritReadProxy(T* value, B& section) : _XCritReadProxy_Impl<T, W>(value, W(&section)) {}
};

template <class T>
class XCritData_write {
  public:
    virtual ~XCritData_write() = default;
    virtual void Write(const T& value) = 0;
};

template <class T, class B = XBasicRefCountCritSection<XCritSectionTraits<XCriticalSectionEx>>,
          class W = _XRefCountCritSecWrapper<B>>
class XCritData : public XCritData_write<T> {
  public:
    using Proxy = XCritProxy<T, B, W>;
    using ReadProxy = XCritReadProxy<T, B, W>;

    XCritData() = default;
    template <class... Args>
    explicit XCritData(Args&&... args) : m_value(std::forward<Args>(args)...) {}
    XCritData(const XCritData&) = delete;
    XCritData& operator=(const XCritData&) = delete;

    // Guaranteed copy elision builds the proxy in the caller's storage.
    Proxy GetProxy() { return Proxy(&m_value, m_section, this); }
    ReadProxy GetReadProxy() { return ReadProxy(&m_value, m_section); }

    void Write(const T& value) override {
        _XSmartRefCountCritSection<B, W> reference(m_section);
        m_value = value;
    }
    T Read() {
        _XSmartReadRefCountCritSection<B, W> reference(m_section);
        return m_value;
    }

    // For tests and diagnostics.
    B& Section() noexcept { return m_section; }

  private:
    T m_value{};
    B m_section;
};

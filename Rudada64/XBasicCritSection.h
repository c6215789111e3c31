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
// Bookkeeping: the per-thread table (thread id -> count and read flag) is small (one entry per
// thread that holds the value right now), so it is a flat vector searched linearly, guarded by a
// spin lock held for a few instructions and never while the main lock is acquired or released.
#pragma once

#include <atomic>
#include <exception>
#include <thread>
#include <utility>
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

template <class Traits>
class XBasicRefCountCritSection {
  public:
    using LockType = typename Traits::LockType;

    XBasicRefCountCritSection() = default;
    virtual ~XBasicRefCountCritSection() = default;
    XBasicRefCountCritSection(const XBasicRefCountCritSection&) = delete;
    XBasicRefCountCritSection& operator=(const XBasicRefCountCritSection&) = delete;

    void AddLockRef() {
        VQ_FUNCTION_NAME(L"XBasicRefCountCritSection::AddLockRef()");
        const DWORD thread = GetCurrentThreadId();
        LONG count = 0;
        LONG readFlag = 0;
        {
            XCountLockGuard guard(m_countLock);
            XRecord& record = FindOrAdd(thread);
            count = ++record.count;
            readFlag = record.readFlag;
            if (count >= 2 && readFlag == 1) {
                // Refused below: the reference is not taken, so the count must not keep it.
                --record.count;
            }
        }
        if (count == 1) {
            AcquireMain(thread, false);
        } else if (readFlag == 1) {
            ThrowExcepIfFailed(XVQEXCEP::TYPE_CRITICAL_DATA, E_FAIL, XVQEXCEP::SEVERITY_SEVERE,
                               VQ_LOCATION(VQ_CRIT_SECTION_FILE, 111),
                               L"unable to add a write lock reference to a read lock", L"", 1);
        }
    }

    void AddReadLockRef() {
        const DWORD thread = GetCurrentThreadId();
        LONG count = 0;
        {
            XCountLockGuard guard(m_countLock);
            XRecord& record = FindOrAdd(thread);
            if (record.count == 0) {
                record.readFlag = 1;
            }
            count = ++record.count;
        }
        if (count == 1) {
            AcquireMain(thread, true);
        }
    }

    void ReleaseLockRef() {
        VQ_FUNCTION_NAME(L"XBasicRefCountCritSection::ReleaseLockRef()");
        const DWORD thread = GetCurrentThreadId();
        bool found = false;
        LONG count = 0;
        LONG readFlag = 0;
        {
            XCountLockGuard guard(m_countLock);
            auto it = Find(thread);
            if (it != m_threads.end()) {
                found = true;
                count = --it->count;
                readFlag = it->readFlag;
                if (count == 0) {
                    // Erased before the main lock is released: only this thread ever touches its
                    // own record, so nobody can observe the difference, and one pass of the count
                    // lock is saved.
                    *it = m_threads.back();
                    m_threads.pop_back();
                }
            }
        }
        if (!found) {
            Report(VQ_LOCATION(VQ_CRIT_SECTION_FILE, 216),
                   L"trying to unlock the critical section without having it locked for the running thread");
            return;
        }
        if (count < 0) {
            Report(VQ_LOCATION(VQ_CRIT_SECTION_FILE, 180),
                   L"trying to unlock the critical section being already unlocked for the running thread "
                   L"before");
            return;
        }
        if (count > 0) {
            return;
        }
        try {
            Traits::UnlockEx(m_mainLock, readFlag == 1);
        } catch (...) {
            // The thread still holds the main lock: its record says so again, and a later release
            // can free it.
            XCountLockGuard guard(m_countLock);
            XRecord& record = FindOrAdd(thread);
            record.count = 1;
            record.readFlag = readFlag;
            throw;
        }
    }

    // For tests and diagnostics: the calling thread's reference count (0 when it holds none).
    LONG ThreadRefCount() {
        XCountLockGuard guard(m_countLock);
        auto it = Find(GetCurrentThreadId());
        return it == m_threads.end() ? 0 : it->count;
    }

  private:
    struct XRecord {
        DWORD thread;
        LONG count;
        LONG readFlag;
    };

    typename std::vector<XRecord>::iterator Find(DWORD thread) {
        auto it = m_threads.begin();
        while (it != m_threads.end() && it->thread != thread) {
            ++it;
        }
        return it;
    }

    XRecord& FindOrAdd(DWORD thread) {
        auto it = Find(thread);
        if (it != m_threads.end()) {
            return *it;
        }
        m_threads.push_back(XRecord{thread, 0, 0});
        return m_threads.back();
    }

    void AcquireMain(DWORD thread, bool read) {
        try {
            Traits::LockEx(m_mainLock, read);
        } catch (...) {
            // Nothing was locked: the thread holds no reference.
            XCountLockGuard guard(m_countLock);
            auto it = Find(thread);
            if (it != m_threads.end()) {
                *it = m_threads.back();
                m_threads.pop_back();
            }
            throw;
        }
    }

    static void Report(const VQErrorLocation& location, const OLECHAR* message) noexcept {
        try {
            XVQError::WriteErrorToLogBook(XVQExceptionFactory::CreateSystemException(
                                              XVQEXCEP::TYPE_CRITICAL_DATA, location, message, L""),
                                          false, 0);
        } catch (...) {
            // A report that cannot be made must not turn a release into a failure.
        }
    }

    LockType m_mainLock;
    XCountLock m_countLock;
    std::vector<XRecord> m_threads;
};

// Gives the reference-counted section back to the scoped references.
template <class B>
class _XRefCountCritSecWrapper {
  public:
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
    virtual ~_XSmartRefCountCritSection_Impl() noexcept(false) { Release(m_wrapper, m_uncaught); }
    _XSmartRefCountCritSection_Impl(const _XSmartRefCountCritSection_Impl&) = delete;
    _XSmartRefCountCritSection_Impl& operator=(const _XSmartRefCountCritSection_Impl&) = delete;

    static void Release(const W& wrapper, int uncaughtAtStart) {
        if (std::uncaught_exceptions() == uncaughtAtStart) {
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
    int m_uncaught = std::uncaught_exceptions();
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
    int m_uncaught = std::uncaught_exceptions();
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

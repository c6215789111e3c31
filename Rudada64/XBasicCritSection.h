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
// - Lock order: a guarded value may be given a rank (XLockRank). Where the check is built in
//   (VQ_CHECK_LOCK_ORDER defined, or a build without NDEBUG), a thread that locks a ranked value
//   while it holds one of a higher rank is stopped at once: the process writes both ranks to stderr
//   and aborts. Only a first reference locks, so nesting on a value the thread holds is never
//   refused. Unranked values (rank 0, the default) are not checked.
//
// Bookkeeping: each section keeps a table of per-thread records (thread id, count, read flag), one
// per thread that holds it right now. The count lock, an ATL critical section, guards the table: a
// thread's first reference creates its record under it and its last reference erases the record
// under it, never while the main lock is acquired or released. A thread also remembers which
// records are its own, so nested references and releases touch neither the table nor the count
// lock. Entering the count lock can fail only as ATL fails: a first reference is then not taken,
// and the MFC exception (CMemoryException* or COleException*) goes to the caller; a last reference
// leaves its record behind at count 0, where it holds nothing. A section whose count lock cannot be
// initialised is not constructed: its constructor raises the MFC exception.
//
// The lock order is checked at run time because Clang's -Wthread-safety cannot state it here: its
// capabilities are not re-entrant before Clang 21, so nested proxies would read as double locks;
// it follows no capability out of a function that returns a proxy; its order attributes relate
// named locks, not values of different objects and singletons; and GCC, which builds the Windows
// module, has no such analysis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "VQComUtilities/XCriticalSectionEx.h"
#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/atl.h"
#include "vqplatform/kernel.h"

#define VQ_CRIT_SECTION_FILE "Rudada64/XBasicCritSection.h"

// Keeps a function out of its callers, where inlining it would cost the callers their own inlining
// (no standard attribute says this).
#if defined(_MSC_VER)
#define VQ_NOINLINE __declspec(noinline)
#else
#define VQ_NOINLINE __attribute__((noinline))
#endif

// Scoped guard on an ATL critical section. Constructed with `lock` true it enters the section at
// once; the destructor leaves the section only when the guard entered it. A failing enter is raised
// as ATL raises it under MFC (CMemoryException* for E_OUTOFMEMORY, COleException* otherwise) and
// leaves nothing entered.
template <class L>
class XSmartCritSectionBase {
  public:
    XSmartCritSectionBase(L& section, bool lock) : m_pSection(&section) {
        if (lock) {
            const HRESULT hr = m_pSection->Lock();
            if (FAILED(hr)) {
                if (hr == E_OUTOFMEMORY) {
                    AfxThrowMemoryException();
                }
                AfxThrowOleException(hr);
            }
            m_bEntered = true;
        }
    }
    virtual ~XSmartCritSectionBase() {
        if (m_bEntered) {
            // ATL's Unlock of an entered section does not fail, and a destructor could not report it.
            static_cast<void>(m_pSection->Unlock());
        }
    }
    XSmartCritSectionBase(const XSmartCritSectionBase&) = delete;
    XSmartCritSectionBase& operator=(const XSmartCritSectionBase&) = delete;

  private:
    L* m_pSection;
    bool m_bEntered = false;
};

template <class L>
class XSmartCritSection : public XSmartCritSectionBase<L> {
  public:
    XSmartCritSection(L& section, bool lock) : XSmartCritSectionBase<L>(section, lock) {}
};

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

// The records of the sections the calling thread holds right now: a thread without an entry here
// holds no reference to the section. Only the owning thread reads or writes its own record's count
// and read flag, so that needs no lock. A few inline slots serve the usual nesting; a thread that
// holds more sections at once spills into an overflow list. The slots are trivial, so that
// reaching them costs no initialisation check.
struct XHeldSections {
    struct XSlot {
        const void* section;
        void* record;
    };
    static constexpr int kSlots = 8;
    XSlot slots[kSlots];
    std::size_t overflowCount;  // entries in Overflow()
    DWORD threadId;             // 0 until first asked for

    static std::vector<XSlot>& Overflow() {
        thread_local std::vector<XSlot> t_overflow;
        return t_overflow;
    }
    void* Find(const void* section) const noexcept {
        for (const XSlot& slot : slots) {
            if (slot.section == section) {
                return slot.record;
            }
        }
        if (overflowCount != 0) {
            for (const XSlot& slot : Overflow()) {
                if (slot.section == section) {
                    return slot.record;
                }
            }
        }
        return nullptr;
    }
    // Throws std::bad_alloc when the overflow list cannot grow; nothing is added then.
    void Add(const void* section, void* record) {
        for (XSlot& slot : slots) {
            if (slot.section == nullptr) {
                slot = XSlot{section, record};
                return;
            }
        }
        Overflow().push_back(XSlot{section, record});
        ++overflowCount;
    }
    void Remove(const void* section) noexcept {
        for (XSlot& slot : slots) {
            if (slot.section == section) {
                slot = XSlot{nullptr, nullptr};
                return;
            }
        }
        std::vector<XSlot>& overflow = Overflow();
        for (XSlot& slot : overflow) {
            if (slot.section == section) {
                slot = overflow.back();
                overflow.pop_back();
                --overflowCount;
                return;
            }
        }
    }
    DWORD ThreadId() noexcept {
        if (threadId == 0) {
            threadId = GetCurrentThreadId();
        }
        return threadId;
    }
};
inline XHeldSections& ThreadHeldSections() noexcept {
    thread_local XHeldSections t_held{};
    return t_held;
}

// A guarded value's place in the lock order: a thread that holds values may lock another only when
// none of those it holds ranks higher. Values of one rank may be held together in any order; rank 0
// leaves a value out of the order.
struct XLockRank {
    static constexpr unsigned kMax = 31;
    // Out of range fails the build where the rank is a constant.
    constexpr explicit XLockRank(unsigned rank = 0)
        : value(rank <= kMax ? rank : throw std::out_of_range("lock rank above 31")) {}
    unsigned value;
};

// The lock-order check of one section. It costs nothing where it is not built in, and nothing for
// an unranked section.
class XLockOrderCheck {
  public:
#if defined(VQ_CHECK_LOCK_ORDER) || !defined(NDEBUG)
    static constexpr bool kEnabled = true;
#else
    static constexpr bool kEnabled = false;
#endif

    explicit XLockOrderCheck(XLockRank rank) noexcept : m_rank(rank.value) {}

    // As the thread locks the section, before it waits: aborts when the thread holds a higher rank,
    // else counts the section's rank as held (Unlocked undoes it when the lock fails).
    void Locking() const noexcept {
        if (kEnabled && m_rank != 0) {
            XThreadRanks& ranks = ThreadRanks();
            // The ranks above this one.
            const std::uint32_t higher = ranks.mask & ~((2u << m_rank) - 1u);
            if (higher != 0) {
                Violated(higher);
            }
            ++ranks.counts[m_rank];
            ranks.mask |= 1u << m_rank;
        }
    }
    void Unlocked() const noexcept {
        if (kEnabled && m_rank != 0) {
            XThreadRanks& ranks = ThreadRanks();
            if (--ranks.counts[m_rank] == 0) {
                ranks.mask &= ~(1u << m_rank);
            }
        }
    }

  private:
    // The ranks of the sections the calling thread has locked: how many of each, and a mask of the
    // ranks it holds.
    struct XThreadRanks {
        std::uint32_t mask;
        std::uint32_t counts[XLockRank::kMax + 1];
    };
    static XThreadRanks& ThreadRanks() noexcept {
        thread_local XThreadRanks t_ranks{};
        return t_ranks;
    }

    [[noreturn]] void Violated(std::uint32_t higher) const noexcept {
        unsigned held = XLockRank::kMax;
        while ((higher & (1u << held)) == 0) {
            --held;
        }
        std::fprintf(stderr,
                     "VQ lock order violated: a guarded value of rank %u is locked while the thread "
                     "holds one of rank %u\n",
                     m_rank, held);
        std::abort();
    }

    unsigned m_rank;
};

template <class Traits>
class XBasicRefCountCritSection {
  public:
    using LockType = typename Traits::LockType;
    static constexpr bool kReleaseMayThrow = Traits::kUnlockMayThrow;

    explicit XBasicRefCountCritSection(XLockRank rank = XLockRank()) : m_order(rank) {}
    virtual ~XBasicRefCountCritSection() = default;
    XBasicRefCountCritSection(const XBasicRefCountCritSection&) = delete;
    XBasicRefCountCritSection& operator=(const XBasicRefCountCritSection&) = delete;

    void AddLockRef() {
        XRecord* const record = OwnRecord();
        if (record == nullptr || record->count <= 0 || record->readFlag == 1) {
            AddOuterRef(record, false);
            return;
        }
        ++record->count;
    }

    void AddReadLockRef() {
        XRecord* const record = OwnRecord();
        if (record == nullptr || record->count <= 0) {
            AddOuterRef(record, true);
            return;
        }
        ++record->count;
    }

    void ReleaseLockRef() {
        XRecord* const record = OwnRecord();
        if (record == nullptr || record->count <= 1) {
            ReleaseOuterRef(record);
            return;
        }
        --record->count;
    }

    // For tests and diagnostics: the calling thread's reference count (0 when it holds none).
    LONG ThreadRefCount() const noexcept {
        const XRecord* const record = OwnRecord();
        return record == nullptr ? 0 : record->count;
    }

  private:
    // One thread's references; `thread` 0 marks a free slot. Slots keep their address (a deque
    // grows at the end without moving elements), so that the thread's cache may point at them.
    struct XRecord {
        DWORD thread;
        LONG count;
        LONG readFlag;
    };
    using XCountLockGuard = XSmartCritSection<CComAutoCriticalSection>;

    // The calling thread's record, or null when it holds nothing here. A record at count 0 or
    // below holds nothing either: it was just made, its erasure could not enter the count lock, or
    // a release without a reference took it below 0.
    XRecord* OwnRecord() const noexcept { return static_cast<XRecord*>(ThreadHeldSections().Find(this)); }

    // The record of a thread that holds nothing any more. When the count lock cannot be entered,
    // the record stays at count 0, where it holds nothing, for the thread's next reference; the
    // release has succeeded all the same, so nothing is reported.
    void Erase(XRecord* record) noexcept {
        try {
            XCountLockGuard guard(m_countLock, true);
            ThreadHeldSections().Remove(this);
            *record = XRecord{0, 0, 0};
        } catch (CException* e) {
            e->Delete();
        }
    }

    // A reference that is not nested: the thread's first, or a write reference inside its own read
    // reference, which is refused (the count does not take it). Kept apart from the nested
    // references' few instructions, which can then be inlined without keeping the record across a
    // call; the record's creation is written out here, where it costs no further call.
    VQ_NOINLINE void AddOuterRef(XRecord* record, bool read) {
        if (record == nullptr) {
            // A record with count 0 for the calling thread, which has none.
            XHeldSections& held = ThreadHeldSections();
            const DWORD thread = held.ThreadId();
            XCountLockGuard guard(m_countLock, true);
            for (XRecord& slot : m_records) {
                if (slot.thread == 0) {
                    record = &slot;
                    break;
                }
            }
            if (record == nullptr) {
                record = &m_records.emplace_back();
            }
            *record = XRecord{thread, 0, 0};
            try {
                held.Add(this, record);
            } catch (...) {
                *record = XRecord{0, 0, 0};
                throw;
            }
        }
        if (record->count <= 0) {
            AcquireMain(record, read);
            return;
        }
        RefuseWriteInRead();
    }

    // The release of a reference that is not nested: the thread's last, or one it does not hold.
    VQ_NOINLINE void ReleaseOuterRef(XRecord* record) {
        if (record == nullptr) {
            ReportRelease(
                216,
                L"trying to unlock the critical section without having it locked for the running thread");
            return;
        }
        if (--record->count < 0) {
            ReportRelease(
                180,
                L"trying to unlock the critical section being already unlocked for the running thread "
                L"before");
            return;
        }
        ReleaseMain(record);
    }

    // The main lock, taken with the thread's first reference and released with its last, and the
    // record's erasure after the last.
    void AcquireMain(XRecord* record, bool read) {
        record->count = 1;
        record->readFlag = read ? 1 : 0;
        m_order.Locking();
        try {
            Traits::LockEx(m_mainLock, read);
        } catch (...) {
            // Nothing was locked: the thread holds no reference.
            m_order.Unlocked();
            record->count = 0;
            Erase(record);
            throw;
        }
    }

    void ReleaseMain(XRecord* record) {
        try {
            Traits::UnlockEx(m_mainLock, record->readFlag == 1);
        } catch (...) {
            // The thread still holds the main lock: its record says so again, and a later release
            // can free it.
            record->count = 1;
            throw;
        }
        m_order.Unlocked();
        Erase(record);
    }

    static void RefuseWriteInRead() {
        VQ_FUNCTION_NAME(L"XBasicRefCountCritSection::AddLockRef()");
        ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_CRITICAL_DATA, E_FAIL, XVQEXCEP::VQ_SEVERITY_SEVERE,
                           VQ_LOCATION(VQ_CRIT_SECTION_FILE, 111),
                           L"unable to add a write lock reference to a read lock", L"", 1);
    }

    // Logged, never thrown: a release must not fail for the caller's bookkeeping error.
    static void ReportRelease(unsigned line, const OLECHAR* message) noexcept {
        try {
            VQ_FUNCTION_NAME(L"XBasicRefCountCritSection::ReleaseLockRef()");
            XVQError::WriteErrorToLogBook(
                XVQExceptionFactory::CreateSystemException(
                    XVQEXCEP::VQ_TYPE_CRITICAL_DATA, VQ_LOCATION(VQ_CRIT_SECTION_FILE, line), message, L""),
                false, 0);
        } catch (...) {
            // A report that cannot be made must not turn a release into a failure.
        }
    }

    LockType m_mainLock;
    CComAutoCriticalSection m_countLock;
    std::deque<XRecord> m_records;
    XLockOrderCheck m_order;
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
    // A value with its place in the lock order, made from `args`.
    template <class... Args>
    explicit XCritData(XLockRank rank, Args&&... args)
        : m_value(std::forward<Args>(args)...), m_section(rank) {}
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

/// @file
/// The error component's exception objects and the handle the module throws and stores.
///
/// XVQException is reference counted (XRefCountedObject, thread-safe counts) and immutable after
/// construction, so copies of one XWrappedVQException may be read on any thread. An
/// XWrappedVQException around a null pointer stands for "no error" (IsEmpty()). What the throwers
/// of XVQError and XVQExceptionFactory throw is an XWrappedVQException by value.
#pragma once

#include <atomic>
#include <utility>

#include "VQError/VQErrorTypes.h"

// Exported classes with members of standard-library types: see VQErrorExport.h on C4251.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

/// An object with a thread-safe reference count that deletes itself when the last reference goes.
/// A new object has no reference.
class VQERROR_API XRefCountedObject {
  public:
    /// A new object, without references.
    XRefCountedObject() = default;
    XRefCountedObject(const XRefCountedObject&) = delete;
    XRefCountedObject& operator=(const XRefCountedObject&) = delete;
    /// Destroys the object; called by Release for the last reference.
    virtual ~XRefCountedObject() = default;

    /// Adds a reference.
    void AddRef() const noexcept { m_refs.fetch_add(1, std::memory_order_relaxed); }
    /// Drops a reference; the last one deletes the object.
    void Release() const noexcept {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
    /// @return The number of references, a snapshot.
    long RefCount() const noexcept { return m_refs.load(std::memory_order_relaxed); }

  private:
    mutable std::atomic<long> m_refs{0};
};

/// Intrusive smart pointer over an XRefCountedObject: holds one reference while it points at an
/// object.
/// @tparam T The object's type, derived from XRefCountedObject.
template <class T>
class XRefCountPtr {
  public:
    /// A null pointer.
    XRefCountPtr() noexcept = default;
    /// Takes a reference on `p`.
    /// @param p The object, or null.
    explicit XRefCountPtr(T* p) noexcept : m_p(p) {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    /// Takes a reference on the other pointer's object.
    /// @param other The pointer copied.
    XRefCountPtr(const XRefCountPtr& other) noexcept : XRefCountPtr(other.m_p) {}
    /// Takes over the other pointer's reference; the other pointer is null afterwards.
    /// @param other The pointer moved from.
    XRefCountPtr(XRefCountPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    /// Drops the reference.
    ~XRefCountPtr() {
        if (m_p != nullptr) {
            m_p->Release();
        }
    }
    /// Points at the other pointer's object, dropping the reference held before.
    /// @param other The pointer assigned (copied or moved).
    /// @return This pointer.
    XRefCountPtr& operator=(XRefCountPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    /// @return The object, or null.
    T* Get() const noexcept { return m_p; }
    /// @return The object, or null.
    T* operator->() const noexcept { return m_p; }
    /// @return Whether the pointer points at an object.
    explicit operator bool() const noexcept { return m_p != nullptr; }

  private:
    T* m_p = nullptr;
};

/// An error of the component: what happened (type, HRESULT, severity, message) and where (location).
/// Immutable after construction.
class VQERROR_API XVQException : public XRefCountedObject {
  public:
    /// @param type Where the error comes from.
    /// @param location Where it was reported.
    /// @param hr Its HRESULT; E_FAIL where there is none.
    /// @param severity Its severity.
    /// @param subCode A code of the reporter's own; -1 for none.
    /// @param message What failed.
    /// @param additionalText More text; empty for none.
    /// @param count The depth of the throw functions that made it (the callers' count plus one per
    ///   level).
    XVQException(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location, HRESULT hr,
                 XVQEXCEP::ERROR_SEVERITY severity, long subCode, const XVQComBSTR& message,
                 const XVQComBSTR& additionalText, unsigned count);

    /// @return Where the error comes from: XVQEXCEP::VQ_TYPE_MODULE (2) for the library's own errors,
    ///   XVQEXCEP::VQ_TYPE_CRITICAL_DATA (8) for errors of its guarded data.
    XVQEXCEP::EXCEPTION_TYPE Type() const noexcept { return m_type; }
    /// @return Where the error was reported: source file, line, subsystem and function.
    const VQErrorLocation& Location() const noexcept { return m_location; }
    /// @return The error's HRESULT.
    HRESULT HResult() const noexcept { return m_hr; }
    /// @return The error's severity.
    XVQEXCEP::ERROR_SEVERITY Severity() const noexcept { return m_severity; }
    /// @return The reporter's own code; -1 for none.
    long SubCode() const noexcept { return m_subCode; }
    /// @return What failed.
    const XVQComBSTR& Message() const noexcept { return m_message; }
    /// @return More text; empty for none.
    const XVQComBSTR& AdditionalText() const noexcept { return m_additionalText; }
    /// @return The call depth through the throw functions (the callers' count plus one per level).
    unsigned Count() const noexcept { return m_count; }

  private:
    XVQEXCEP::EXCEPTION_TYPE m_type;
    VQErrorLocation m_location;
    HRESULT m_hr;
    XVQEXCEP::ERROR_SEVERITY m_severity;
    long m_subCode;
    XVQComBSTR m_message;
    XVQComBSTR m_additionalText;
    unsigned m_count;
};

/// A structured exception: type XVQEXCEP::VQ_TYPE_STRUCTURED, severity
/// XVQEXCEP::VQ_SEVERITY_CRITICAL, and the exception code as HRESULT (0xC0000005 for an access
/// violation).
class VQERROR_API XVQStructuredException : public XVQException {
  public:
    /// @param location Where the exception was translated.
    /// @param code The exception code.
    /// @param address The faulting instruction's address.
    XVQStructuredException(const VQErrorLocation& location, unsigned code, const void* address);
    /// @return The exception code.
    unsigned Code() const noexcept { return static_cast<unsigned>(HResult()); }
    /// @return The faulting instruction's address.
    const void* Address() const noexcept { return m_address; }

  private:
    const void* m_address;
};

/// The first exception of a chain that was not caused by another one.
class VQERROR_API XVQExceptionStackRoot : public XVQException {
  public:
    using XVQException::XVQException;
};

/// A copyable handle on an XVQException, shared by reference count; the base of
/// XWrappedVQException. A handle around a null pointer stands for "no error".
class VQERROR_API XVQExceptionWrapper {
  public:
    /// An empty handle: no error.
    XVQExceptionWrapper() noexcept = default;
    /// @param p The exception, shared; null for no error.
    explicit XVQExceptionWrapper(const XRefCountPtr<XVQException>& p) noexcept : m_ptr(p) {}
    /// Shares the other handle's exception.
    /// @param other The handle copied.
    XVQExceptionWrapper(const XVQExceptionWrapper& other) = default;
    /// Shares the other handle's exception.
    /// @param other The handle assigned.
    /// @return This handle.
    XVQExceptionWrapper& operator=(const XVQExceptionWrapper& other) = default;
    /// Drops this handle's share of the exception.
    virtual ~XVQExceptionWrapper() = default;

    /// @return Whether the handle holds no exception ("no error").
    bool IsEmpty() const noexcept { return !m_ptr; }
    /// @return The exception, or null.
    XVQException* Get() const noexcept { return m_ptr.Get(); }
    /// @return The exception; the handle must not be empty.
    XVQException* operator->() const noexcept { return m_ptr.Get(); }

  protected:
    /// The exception, or null.
    XRefCountPtr<XVQException> m_ptr;
};

/// The exception the library throws: a copyable handle on an XVQException. Catch it by reference
/// and read the error through operator->: Type(), Severity(), HResult(), Message(), Location().
class VQERROR_API XWrappedVQException : public XVQExceptionWrapper {
  public:
    /// An empty handle: no error.
    XWrappedVQException() noexcept = default;
    /// @param p The exception, shared; null for no error.
    explicit XWrappedVQException(const XRefCountPtr<XVQException>& p) noexcept : XVQExceptionWrapper(p) {}
    /// Shares the other handle's exception.
    /// @param other The handle copied.
    XWrappedVQException(const XWrappedVQException& other) = default;
    /// Shares the other handle's exception.
    /// @param other The handle assigned.
    /// @return This handle.
    XWrappedVQException& operator=(const XWrappedVQException& other) = default;
    /// Drops this handle's share of the exception.
    ~XWrappedVQException() override = default;
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif

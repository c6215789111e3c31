// The error component's exception objects and the handle the module throws and stores.
//
// XVQException is reference counted (XRefCountedObject, thread-safe counts) and immutable after
// construction, so copies of one XWrappedVQException may be read on any thread. An
// XWrappedVQException around a null pointer stands for "no error" (IsEmpty()). What the throwers
// of XVQError and XVQExceptionFactory throw is an XWrappedVQException by value.
#pragma once

#include <atomic>
#include <utility>

#include "VQError/VQErrorTypes.h"

// Exported classes with members of standard-library types: see VQErrorExport.h on C4251.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

class VQERROR_API XRefCountedObject {
  public:
    XRefCountedObject() = default;
    XRefCountedObject(const XRefCountedObject&) = delete;
    XRefCountedObject& operator=(const XRefCountedObject&) = delete;
    virtual ~XRefCountedObject() = default;

    void AddRef() const noexcept { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void Release() const noexcept {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
    long RefCount() const noexcept { return m_refs.load(std::memory_order_relaxed); }

  private:
    mutable std::atomic<long> m_refs{0};
};

// Intrusive smart pointer over an XRefCountedObject.
template <class T>
class XRefCountPtr {
  public:
    XRefCountPtr() noexcept = default;
    explicit XRefCountPtr(T* p) noexcept : m_p(p) {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    XRefCountPtr(const XRefCountPtr& other) noexcept : XRefCountPtr(other.m_p) {}
    XRefCountPtr(XRefCountPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~XRefCountPtr() {
        if (m_p != nullptr) {
            m_p->Release();
        }
    }
    XRefCountPtr& operator=(XRefCountPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

  private:
    T* m_p = nullptr;
};

class VQERROR_API XVQException : public XRefCountedObject {
  public:
    XVQException(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location, HRESULT hr,
                 XVQEXCEP::ERROR_SEVERITY severity, long subCode, const XVQComBSTR& message,
                 const XVQComBSTR& additionalText, unsigned count);

    XVQEXCEP::EXCEPTION_TYPE Type() const noexcept { return m_type; }
    const VQErrorLocation& Location() const noexcept { return m_location; }
    HRESULT HResult() const noexcept { return m_hr; }
    XVQEXCEP::ERROR_SEVERITY Severity() const noexcept { return m_severity; }
    long SubCode() const noexcept { return m_subCode; }
    const XVQComBSTR& Message() const noexcept { return m_message; }
    const XVQComBSTR& AdditionalText() const noexcept { return m_additionalText; }
    // Call depth through the throw functions (the callers' count plus one per level).
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

// A structured exception; HResult() is the exception code (0xC0000005 for an access violation).
class VQERROR_API XVQStructuredException : public XVQException {
  public:
    XVQStructuredException(const VQErrorLocation& location, unsigned code, const void* address);
    unsigned Code() const noexcept { return static_cast<unsigned>(HResult()); }
    const void* Address() const noexcept { return m_address; }

  private:
    const void* m_address;
};

// The first exception of a chain that was not caused by another one.
class VQERROR_API XVQExceptionStackRoot : public XVQException {
  public:
    using XVQException::XVQException;
};

class VQERROR_API XVQExceptionWrapper {
  public:
    XVQExceptionWrapper() noexcept = default;
    explicit XVQExceptionWrapper(const XRefCountPtr<XVQException>& p) noexcept : m_ptr(p) {}
    XVQExceptionWrapper(const XVQExceptionWrapper&) = default;
    XVQExceptionWrapper& operator=(const XVQExceptionWrapper&) = default;
    virtual ~XVQExceptionWrapper() = default;

    bool IsEmpty() const noexcept { return !m_ptr; }
    XVQException* Get() const noexcept { return m_ptr.Get(); }
    XVQException* operator->() const noexcept { return m_ptr.Get(); }

  protected:
    XRefCountPtr<XVQException> m_ptr;
};

class VQERROR_API XWrappedVQException : public XVQExceptionWrapper {
  public:
    XWrappedVQException() noexcept = default;
    explicit XWrappedVQException(const XRefCountPtr<XVQException>& p) noexcept : XVQExceptionWrapper(p) {}
    XWrappedVQException(const XWrappedVQException&) = default;
    XWrappedVQException& operator=(const XWrappedVQException&) = default;
    ~XWrappedVQException() override = default;
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif

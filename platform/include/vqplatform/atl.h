// The ATL and MFC pieces the library uses, on both platforms (MinGW has neither ATL nor MFC):
// ATL::CComPtr, CComAutoCriticalSection, and the exception types the logging ladder catches:
// _com_error, ATL::CAtlException, and MFC's CException family (thrown by pointer; the catcher calls
// Delete()).
//
// CComAutoCriticalSection is a recursive lock, as a Win32 critical section. Lock and Unlock
// return S_OK, or the HRESULT armed through fault injection (Operation::CritSecEnter and
// CritSecLeave, vqplatform/testing.h); a failing call leaves the lock as it was. A construction
// armed with Operation::CritSecInit throws CMemoryException* for E_OUTOFMEMORY and
// COleException* for any other code, as ATL does under MFC.
#pragma once

#include <memory>

#include "vqplatform/com.h"

class VQ_EXPORT CComAutoCriticalSection {
  public:
    CComAutoCriticalSection();
    ~CComAutoCriticalSection();
    CComAutoCriticalSection(const CComAutoCriticalSection&) = delete;
    CComAutoCriticalSection& operator=(const CComAutoCriticalSection&) = delete;

    HRESULT Lock();
    HRESULT Unlock();

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

class VQ_EXPORT _com_error {
  public:
    explicit _com_error(HRESULT hr) noexcept : m_hr(hr) {}
    virtual ~_com_error() = default;
    HRESULT Error() const noexcept { return m_hr; }

  private:
    HRESULT m_hr;
};

class VQ_EXPORT CException {
  public:
    CException() = default;
    CException(const CException&) = delete;
    CException& operator=(const CException&) = delete;
    virtual ~CException() = default;
    // Frees an exception that was thrown by pointer.
    void Delete() { delete this; }
    // Writes a description of at most `maxChars` characters (null included).
    virtual BOOL GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext = nullptr) const;
};

class VQ_EXPORT CMemoryException : public CException {
  public:
    BOOL GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext = nullptr) const override;
};

class VQ_EXPORT COleException : public CException {
  public:
    explicit COleException(SCODE sc) : m_sc(sc) {}
    BOOL GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext = nullptr) const override;
    SCODE m_sc;
};

[[noreturn]] VQ_EXPORT void AfxThrowMemoryException();
[[noreturn]] VQ_EXPORT void AfxThrowOleException(SCODE sc);

namespace ATL {

class VQ_EXPORT CAtlException {
  public:
    explicit CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
    virtual ~CAtlException() = default;
    operator HRESULT() const noexcept { return m_hr; }
    HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) {
    throw CAtlException(hr);
}

// Owning COM pointer: AddRef on copy, Release on destruction.
template <class T>
class CComPtr {
  public:
    CComPtr() noexcept = default;
    CComPtr(T* p) noexcept : p(p) {  // NOLINT(google-explicit-constructor): as ATL
        if (p != nullptr) {
            p->AddRef();
        }
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* other) noexcept {
        if (other != p) {
            CComPtr(other).Swap(*this);
        }
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {  // operator& is the out-parameter address
            Release();
            p = other.p;
            other.p = nullptr;
        }
        return *this;
    }

    operator T*() const noexcept { return p; }  // NOLINT(google-explicit-constructor): as ATL
    T* operator->() const noexcept { return p; }
    T& operator*() const noexcept { return *p; }
    // Address for an out parameter; the pointer must be empty, as ATL asserts.
    T** operator&() noexcept { return &p; }
    bool operator!() const noexcept { return p == nullptr; }

    void Release() noexcept {
        T* old = p;
        if (old != nullptr) {
            p = nullptr;
            old->Release();
        }
    }
    void Attach(T* other) noexcept {
        Release();
        p = other;
    }
    T* Detach() noexcept {
        T* old = p;
        p = nullptr;
        return old;
    }
    void Swap(CComPtr& other) noexcept {
        T* tmp = p;
        p = other.p;
        other.p = tmp;
    }

    T* p = nullptr;
};

}  // namespace ATL

// The ATL and MFC pieces the library uses, on both platforms (MinGW has neither ATL nor MFC):
// CComAutoCriticalSection, ATL::CComPtr (vqplatform/comptr.h), and the exception types the logging ladder
// catches: _com_error, ATL::CAtlException, and MFC's CException family (thrown by pointer; the catcher calls
// Delete()).
//
// CComAutoCriticalSection is a recursive lock, as a Win32 critical section. Lock and Unlock return
// an HRESULT, as ATL's do: S_OK here; callers treat a failure as one that left the lock as it was.
// A construction that cannot set the lock up throws CMemoryException* for E_OUTOFMEMORY and
// COleException* for any other code, as ATL does under MFC.
#pragma once

#include <memory>

#include "vqplatform/com.h"
#include "vqplatform/comptr.h"

class VQPLATFORM_API CComAutoCriticalSection {
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

class VQPLATFORM_API _com_error {
  public:
    explicit _com_error(HRESULT hr) noexcept : m_hr(hr) {}
    virtual ~_com_error() = default;
    HRESULT Error() const noexcept { return m_hr; }

  private:
    HRESULT m_hr;
};

class VQPLATFORM_API CException {
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

class VQPLATFORM_API CMemoryException : public CException {
  public:
    BOOL GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext = nullptr) const override;
};

class VQPLATFORM_API COleException : public CException {
  public:
    explicit COleException(SCODE sc) : m_sc(sc) {}
    BOOL GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext = nullptr) const override;
    SCODE m_sc;
};

[[noreturn]] VQPLATFORM_API void AfxThrowMemoryException();
[[noreturn]] VQPLATFORM_API void AfxThrowOleException(SCODE sc);

namespace ATL {

class VQPLATFORM_API CAtlException {
  public:
    explicit CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
    virtual ~CAtlException() = default;
    operator HRESULT() const noexcept { return m_hr; }
    HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) {
    throw CAtlException(hr);
}

}  // namespace ATL

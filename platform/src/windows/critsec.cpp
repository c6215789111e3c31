// CComAutoCriticalSection on Windows: a real Win32 critical section, initialised and thrown on as
// ATL under MFC does (MinGW has no ATL). The MFC exceptions it throws are in common/atl.cpp.
#include <new>

#include "vqplatform/atl.h"

struct CComAutoCriticalSection::Impl {
    CRITICAL_SECTION section;
};

namespace {

// ATL's AtlThrow under MFC: a memory exception for E_OUTOFMEMORY, an OLE exception otherwise.
[[noreturn]] void ThrowInitFailure(HRESULT hr) {
    if (hr == E_OUTOFMEMORY) {
        AfxThrowMemoryException();
    }
    AfxThrowOleException(hr);
}

}  // namespace

CComAutoCriticalSection::CComAutoCriticalSection() {
    try {
        m_impl = std::make_unique<Impl>();
    } catch (const std::bad_alloc&) {
        AfxThrowMemoryException();
    }
    // ATL initialises with a spin count of 0 and maps a failure to the last error's HRESULT.
    if (InitializeCriticalSectionAndSpinCount(&m_impl->section, 0) == FALSE) {
        ThrowInitFailure(HRESULT_FROM_WIN32(GetLastError()));
    }
}

CComAutoCriticalSection::~CComAutoCriticalSection() {
    DeleteCriticalSection(&m_impl->section);
}

HRESULT CComAutoCriticalSection::Lock() {
    EnterCriticalSection(&m_impl->section);
    return S_OK;
}

HRESULT CComAutoCriticalSection::Unlock() {
    LeaveCriticalSection(&m_impl->section);
    return S_OK;
}

// CComAutoCriticalSection on Windows: a real Win32 critical section, initialised and thrown on as
// ATL under MFC does (MinGW has no ATL). The MFC exceptions it throws are in common/atl.cpp.
#include <new>

#include "../common/seams.h"
#include "vqplatform/atl.h"
#include "vqplatform/testing.h"

using vqplatform::detail::AnyFaultArmed;
using vqplatform::testing::ConsumeFault;
using vqplatform::testing::Operation;

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
    DWORD error = 0;
    if (ConsumeFault(Operation::CritSecInit, &error)) {
        ThrowInitFailure(static_cast<HRESULT>(error));
    }
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
    DWORD error = 0;
    if (AnyFaultArmed() && ConsumeFault(Operation::CritSecEnter, &error)) {
        return static_cast<HRESULT>(error);
    }
    EnterCriticalSection(&m_impl->section);
    return S_OK;
}

HRESULT CComAutoCriticalSection::Unlock() {
    DWORD error = 0;
    if (AnyFaultArmed() && ConsumeFault(Operation::CritSecLeave, &error)) {
        return static_cast<HRESULT>(error);
    }
    LeaveCriticalSection(&m_impl->section);
    return S_OK;
}

// The ATL lock and the MFC exceptions, on both platforms (MinGW has neither ATL nor MFC).
#include "vqplatform/atl.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <new>

#include "seams.h"
#include "vqplatform/testing.h"

namespace {

using vqplatform::detail::AnyFaultArmed;
using vqplatform::testing::ConsumeFault;
using vqplatform::testing::Operation;

// Copies `text` into the caller's buffer, truncated to fit with its null, as MFC does.
BOOL CopyMessage(const wchar_t* text, LPWSTR buffer, UINT maxChars, UINT* helpContext) {
    if (helpContext != nullptr) {
        *helpContext = 0;
    }
    if (buffer == nullptr || maxChars == 0) {
        return FALSE;
    }
    const std::size_t length = std::min<std::size_t>(std::wcslen(text), maxChars - 1);
    std::wmemcpy(buffer, text, length);
    buffer[length] = L'\0';
    return TRUE;
}

const wchar_t* DescribeHresult(SCODE sc) {
    switch (sc) {
        case S_OK:
            return L"The operation completed successfully.";
        case E_NOTIMPL:
            return L"Not implemented";
        case E_NOINTERFACE:
            return L"No such interface supported";
        case E_POINTER:
            return L"Invalid pointer";
        case E_ABORT:
            return L"Operation aborted";
        case E_FAIL:
            return L"Unspecified error";
        case E_UNEXPECTED:
            return L"Catastrophic failure";
        case E_ACCESSDENIED:
            return L"Access is denied.";
        case E_HANDLE:
            return L"The handle is invalid.";
        case E_OUTOFMEMORY:
            return L"Not enough memory resources are available to complete this operation.";
        case E_INVALIDARG:
            return L"The parameter is incorrect.";
        case RPC_E_CHANGED_MODE:
            return L"Cannot change thread mode after it is set.";
        case RPC_E_DISCONNECTED:
            return L"The object invoked has disconnected from its clients.";
        case RPC_E_SERVERFAULT:
            return L"The server threw an exception.";
        case CO_E_NOTINITIALIZED:
            return L"CoInitialize has not been called.";
        case CLASS_E_NOAGGREGATION:
            return L"Class does not support aggregation (or class object is remote)";
        case REGDB_E_CLASSNOTREG:
            return L"Class not registered";
        case HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE):
            return L"The RPC server is unavailable.";
        case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED):
            return L"The remote procedure call failed.";
        case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE):
            return L"The remote procedure call failed and did not execute.";
        default:
            return nullptr;
    }
}

}  // namespace

// On Windows the lock is a real critical section (windows/critsec.cpp).
#if !defined(_WIN32)
struct CComAutoCriticalSection::Impl {
    std::recursive_mutex mutex;
};

CComAutoCriticalSection::CComAutoCriticalSection() {
    DWORD error = 0;
    if (ConsumeFault(Operation::CritSecInit, &error)) {
        if (static_cast<HRESULT>(error) == E_OUTOFMEMORY) {
            AfxThrowMemoryException();
        }
        AfxThrowOleException(static_cast<SCODE>(error));
    }
    // Under MFC a failed allocation throws CMemoryException*, which is what callers catch.
    try {
        m_impl = std::make_unique<Impl>();
    } catch (const std::bad_alloc&) {
        AfxThrowMemoryException();
    }
}

CComAutoCriticalSection::~CComAutoCriticalSection() = default;

HRESULT CComAutoCriticalSection::Lock() {
    DWORD error = 0;
    if (AnyFaultArmed() && ConsumeFault(Operation::CritSecEnter, &error)) {
        return static_cast<HRESULT>(error);
    }
    m_impl->mutex.lock();
    return S_OK;
}

HRESULT CComAutoCriticalSection::Unlock() {
    DWORD error = 0;
    if (AnyFaultArmed() && ConsumeFault(Operation::CritSecLeave, &error)) {
        return static_cast<HRESULT>(error);
    }
    m_impl->mutex.unlock();
    return S_OK;
}
#endif

BOOL CException::GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext) const {
    // MFC's base class has no message: empty buffer, FALSE.
    CopyMessage(L"", buffer, maxChars, helpContext);
    return FALSE;
}

BOOL CMemoryException::GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext) const {
    return CopyMessage(L"Out of memory.", buffer, maxChars, helpContext);
}

BOOL COleException::GetErrorMessage(LPWSTR buffer, UINT maxChars, UINT* helpContext) const {
    const wchar_t* known = DescribeHresult(m_sc);
    if (known != nullptr) {
        return CopyMessage(known, buffer, maxChars, helpContext);
    }
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"OLE error 0x%08X",
                  static_cast<unsigned>(static_cast<DWORD>(m_sc)));
    return CopyMessage(text, buffer, maxChars, helpContext);
}

void AfxThrowMemoryException() {
    throw new CMemoryException;
}

void AfxThrowOleException(SCODE sc) {
    throw new COleException(sc);
}

#include "VQError/XVQError.h"

XVQEXCEP::ERROR_SEVERITY XHRErrorcodeHandler::GetErrorSeverity(HRESULT hr) {
    if (SUCCEEDED(hr)) {
        return XVQEXCEP::VQ_SEVERITY_NONE;
    }
    if (hr == E_OUTOFMEMORY) {
        return XVQEXCEP::VQ_SEVERITY_CRITICAL;
    }
    // A lost server or connection is an error the caller can recover from by failing over, so it
    // ranks below the other failures.
    if (HRESULT_FACILITY(hr) == FACILITY_RPC || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
        hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE)) {
        return XVQEXCEP::VQ_SEVERITY_ERROR;
    }
    return XVQEXCEP::VQ_SEVERITY_SEVERE;
}

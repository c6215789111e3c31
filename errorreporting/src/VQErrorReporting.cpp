#include "errorreporting/VQErrorReporting.h"

const XVQComBSTR& VQModuleName() {
    // Built on first use and never destroyed: reports may still be written by threads that outlive
    // static destruction at process exit.
    static const XVQComBSTR* const s_moduleName = new XVQComBSTR(L"VQProcessStateHandler");
    return *s_moduleName;
}

HRESULT VQHResultFromLastError() {
    const DWORD error = GetLastError();
    if (error == 0) {
        return E_FAIL;
    }
    if (static_cast<HRESULT>(error) < 0) {
        return static_cast<HRESULT>(error);
    }
    return static_cast<HRESULT>((error & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

void ThrowExcepAtLastError(XVQEXCEP::EXCEPTION_TYPE type, XVQEXCEP::ERROR_SEVERITY severity,
                           const VQErrorLocation& location, const OLECHAR* message, const OLECHAR* text,
                           unsigned count) {
    XVQExceptionFactory::DoThrowException(type, location, VQHResultFromLastError(), severity, -1, message,
                                          text, count + 1);
}

void ThrowExcepIfFailed(XVQEXCEP::EXCEPTION_TYPE type, HRESULT hr, XVQEXCEP::ERROR_SEVERITY severity,
                        const VQErrorLocation& location, const OLECHAR* message, const OLECHAR* text,
                        unsigned count) {
    if (FAILED(hr)) {
        XVQExceptionFactory::DoThrowException(type, location, hr, severity, -1, message, text, count + 1);
    }
}

void ThrowHRExcepIfFailed(const VQErrorLocation& location, HRESULT hr, const OLECHAR* message,
                          const OLECHAR* text) {
    const XVQEXCEP::ERROR_SEVERITY severity = XHRErrorcodeHandler::GetErrorSeverity(hr);
    if (FAILED(hr)) {
        XVQError::DoThrowExcepAtError(XVQEXCEP::VQ_TYPE_MODULE, location, hr, severity, -1, message, text, 2);
    }
}

XWrappedVQException CreateExcepIfFailed(XVQEXCEP::EXCEPTION_TYPE type, HRESULT hr,
                                        XVQEXCEP::ERROR_SEVERITY severity, const VQErrorLocation& location,
                                        const OLECHAR* message, const OLECHAR* text, unsigned count) {
    if (FAILED(hr)) {
        return XVQExceptionFactory::DoCreateException(type, location, hr, severity, -1, message, text,
                                                      count + 1);
    }
    return XWrappedVQException(XRefCountPtr<XVQException>(nullptr));
}

// The exception makers and throwers. They only build exceptions: whoever catches one decides
// whether it goes to the log book.
#include "VQError/XVQError.h"

using XVQEXCEP::ERROR_SEVERITY;
using XVQEXCEP::EXCEPTION_TYPE;
using XVQEXCEP::VQ_SEVERITY_SEVERE;
using XVQEXCEP::VQ_TYPE_MODULE;
using XVQEXCEP::VQ_TYPE_STD;
using XVQEXCEP::VQ_TYPE_SYSTEM;
using XVQEXCEP::VQ_TYPE_UNKNOWN;

namespace {

// Every exception made here starts a chain of its own: none is caused by another one.
XWrappedVQException Make(EXCEPTION_TYPE type, const VQErrorLocation& location, HRESULT hr,
                         ERROR_SEVERITY severity, long subCode, const XVQComBSTR& message,
                         const OLECHAR* text, unsigned count) {
    return XWrappedVQException(XRefCountPtr<XVQException>(
        new XVQExceptionStackRoot(type, location, hr, severity, subCode, message, XVQComBSTR(text), count)));
}

}  // namespace

XWrappedVQException XVQError::CreateExcep(std::exception& error, const VQErrorLocation& location,
                                          ERROR_SEVERITY severity, const OLECHAR* text) {
    const char* what = error.what();
    return Make(VQ_TYPE_STD, location, E_FAIL, severity, -1, XVQComBSTR(what != nullptr ? what : ""), text,
                1);
}

XWrappedVQException XVQError::CreateUnknownExcep(const VQErrorLocation& location, const OLECHAR* text) {
    return Make(VQ_TYPE_UNKNOWN, location, E_FAIL, VQ_SEVERITY_SEVERE, -1, XVQComBSTR(L"unknown exception"),
                text, 1);
}

XWrappedVQException XVQError::CreateSystemExcepAtError(const VQErrorLocation& location, HRESULT hr,
                                                       const OLECHAR* message, const OLECHAR* text) {
    return Make(VQ_TYPE_SYSTEM, location, hr, XHRErrorcodeHandler::GetErrorSeverity(hr), -1,
                XVQComBSTR(message), text, 1);
}

void XVQError::CheckPtr_ThrowExcep(const VQErrorLocation& location, const void* pointer,
                                   const OLECHAR* text) {
    if (pointer == nullptr) {
        throw Make(VQ_TYPE_MODULE, location, E_POINTER, VQ_SEVERITY_SEVERE, -1, XVQComBSTR(L"null pointer"),
                   text, 1);
    }
}

void XVQError::DoThrowExcepAtError(EXCEPTION_TYPE type, const VQErrorLocation& location, HRESULT hr,
                                   ERROR_SEVERITY severity, long subCode, const OLECHAR* message,
                                   const OLECHAR* text, unsigned count) {
    throw Make(type, location, hr, severity, subCode, XVQComBSTR(message), text, count);
}

XWrappedVQException XVQExceptionFactory::CreateSystemException(EXCEPTION_TYPE type,
                                                               const VQErrorLocation& location,
                                                               const OLECHAR* message, const OLECHAR* text) {
    return Make(type, location, E_FAIL, VQ_SEVERITY_SEVERE, -1, XVQComBSTR(message), text, 1);
}

XWrappedVQException XVQExceptionFactory::DoCreateException(EXCEPTION_TYPE type,
                                                           const VQErrorLocation& location, HRESULT hr,
                                                           ERROR_SEVERITY severity, long subCode,
                                                           const OLECHAR* message, const OLECHAR* text,
                                                           unsigned count) {
    return Make(type, location, hr, severity, subCode, XVQComBSTR(message), text, count);
}

void XVQExceptionFactory::DoThrowException(EXCEPTION_TYPE type, const VQErrorLocation& location, HRESULT hr,
                                           ERROR_SEVERITY severity, long subCode, const OLECHAR* message,
                                           const OLECHAR* text, unsigned count) {
    throw Make(type, location, hr, severity, subCode, XVQComBSTR(message), text, count);
}

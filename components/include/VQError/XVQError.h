// The error component's static interface: log-book writers, exception makers and throwers.
//
// Writers never throw and never return a value: a report that cannot be written is dropped. Each
// writes exactly one log-book entry (XVQLogBook.h); the rethrow and flag arguments are accepted and
// ignored. Makers return an XWrappedVQException and throw nothing (but std::bad_alloc). Throwers
// throw an XWrappedVQException. Makers and throwers write nothing: whoever catches reports.
//
// What each writer records: kind, severity, type, HRESULT, message, text. The place is the given
// location, or the exception's own for the writer without one.
//   _com_error           com_error, GetErrorSeverity(hr), VQ_TYPE_SYSTEM, Error(), "COM error", text
//   XWrappedVQException  exception, the exception's severity, type, HRESULT, message, second text
//                        (an empty one: 0, 0, S_OK, "empty exception", "")
//   std::exception       std_exception, severity, VQ_TYPE_STD, E_FAIL, what() as UTF-8, text
//   CAtlException        atl_exception, severity, VQ_TYPE_SYSTEM, m_hr, "ATL exception", text
//   CException*          mfc_exception, severity, VQ_TYPE_SYSTEM, m_sc (COleException), E_OUTOFMEMORY
//                        (CMemoryException) or E_FAIL, GetErrorMessage (else "MFC exception"), text
//   long hr              hresult, severity, VQ_TYPE_SYSTEM, hr, message, ""
//   unknown              unknown, VQ_SEVERITY_SEVERE, VQ_TYPE_UNKNOWN, E_FAIL, "unknown exception", text
//   API error            api_error, GetErrorSeverity (VQ_SEVERITY_SEVERE for error 0), VQ_TYPE_SYSTEM,
//                        HRESULT_FROM_WIN32(last error), message, ""; apiError = the last error
//   line                 line, VQ_SEVERITY_NONE, 0, S_OK, text, additional text
//   TranslateCException  structured, VQ_SEVERITY_CRITICAL, VQ_TYPE_STRUCTURED, code, the exception's
//                        name ("access violation"), "address 0x..." when known
#pragma once

#include <exception>

#include "VQError/XVQException.h"
#include "vqplatform/atl.h"
#include "vqplatform/seh.h"

class VQERROR_API XVQError {
  public:
    static void WriteErrorToLogBook(const VQErrorLocation& location, _com_error& error, const OLECHAR* text);
    static void WriteErrorToLogBook(const VQErrorLocation& location, const XWrappedVQException& error,
                                    bool rethrow, unsigned flags);
    static void WriteErrorToLogBook(const XWrappedVQException& error, bool rethrow, unsigned flags);
    static void WriteErrorToLogBook(const VQErrorLocation& location, std::exception& error,
                                    XVQEXCEP::ERROR_SEVERITY severity, const OLECHAR* text);
    static void WriteErrorToLogBook(const VQErrorLocation& location, ATL::CAtlException& error,
                                    XVQEXCEP::ERROR_SEVERITY severity, const OLECHAR* text);
    // Does not delete the MFC exception: the catcher owns it.
    static void WriteErrorToLogBook(const VQErrorLocation& location, CException* error,
                                    XVQEXCEP::ERROR_SEVERITY severity, const OLECHAR* text);
    static void WriteErrorToLogBook(const VQErrorLocation& location, long hr,
                                    XVQEXCEP::ERROR_SEVERITY severity, const OLECHAR* message, bool rethrow,
                                    unsigned flags);
    static void WriteUnknownErrorToLogBook(const VQErrorLocation& location, const OLECHAR* text);
    static void WriteAPIErrorToLogBook(const VQErrorLocation& location, const OLECHAR* message,
                                       DWORD lastError);
    static void WriteLineToErrorLogBook(const VQErrorLocation& location, const OLECHAR* text,
                                        const OLECHAR* additionalText);

    // Reports a structured exception and, when `raise` is true, throws it as an
    // XWrappedVQException around an XVQStructuredException (type VQ_TYPE_STRUCTURED, HRESULT = code).
    static void TranslateCException(const VQErrorLocation& location, unsigned code, EXCEPTION_POINTERS* info,
                                    bool raise);

    // VQ_TYPE_STD, E_FAIL, message what() (UTF-8).
    static XWrappedVQException CreateExcep(std::exception& error, const VQErrorLocation& location,
                                           XVQEXCEP::ERROR_SEVERITY severity, const OLECHAR* text);
    // VQ_TYPE_UNKNOWN, E_FAIL, VQ_SEVERITY_SEVERE, message "unknown exception".
    static XWrappedVQException CreateUnknownExcep(const VQErrorLocation& location, const OLECHAR* text);
    // VQ_TYPE_SYSTEM, `hr`, severity XHRErrorcodeHandler::GetErrorSeverity(hr).
    static XWrappedVQException CreateSystemExcepAtError(const VQErrorLocation& location, HRESULT hr,
                                                        const OLECHAR* message, const OLECHAR* text);

    // Throws when `pointer` is null (VQ_TYPE_MODULE, E_POINTER, VQ_SEVERITY_SEVERE, "null pointer");
    // otherwise returns.
    static void CheckPtr_ThrowExcep(const VQErrorLocation& location, const void* pointer,
                                    const OLECHAR* text);
    [[noreturn]] static void DoThrowExcepAtError(XVQEXCEP::EXCEPTION_TYPE type,
                                                 const VQErrorLocation& location, HRESULT hr,
                                                 XVQEXCEP::ERROR_SEVERITY severity, long subCode,
                                                 const OLECHAR* message, const OLECHAR* text, unsigned count);
};

class VQERROR_API XVQExceptionFactory {
  public:
    // `type`, E_FAIL, VQ_SEVERITY_SEVERE.
    static XWrappedVQException CreateSystemException(XVQEXCEP::EXCEPTION_TYPE type,
                                                     const VQErrorLocation& location, const OLECHAR* message,
                                                     const OLECHAR* text);
    static XWrappedVQException DoCreateException(XVQEXCEP::EXCEPTION_TYPE type,
                                                 const VQErrorLocation& location, HRESULT hr,
                                                 XVQEXCEP::ERROR_SEVERITY severity, long subCode,
                                                 const OLECHAR* message, const OLECHAR* text, unsigned count);
    [[noreturn]] static void DoThrowException(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location,
                                              HRESULT hr, XVQEXCEP::ERROR_SEVERITY severity, long subCode,
                                              const OLECHAR* message, const OLECHAR* text, unsigned count);
};

class VQERROR_API XHRErrorcodeHandler {
  public:
    // VQ_SEVERITY_NONE for success codes, VQ_SEVERITY_CRITICAL for E_OUTOFMEMORY, VQ_SEVERITY_ERROR for
    // communication failures (RPC facility, RPC server unavailable / call failed), else
    // VQ_SEVERITY_SEVERE.
    static XVQEXCEP::ERROR_SEVERITY GetErrorSeverity(HRESULT hr);
};

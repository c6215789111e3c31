// The error component's static interface: log-book writers, exception makers and throwers.
//
// Writers never throw and never return a value: a report that cannot be written is dropped.
// Makers return an XWrappedVQException and throw nothing (but std::bad_alloc). Throwers throw an
// XWrappedVQException. Every report goes to the log book (XVQLogBook.h).
#pragma once

#include <exception>

#include "VQError/XVQException.h"
#include "vqplatform/atl.h"
#include "vqplatform/seh.h"

class VQ_EXPORT XVQError {
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
    static void WriteErrorToLogBook(const VQErrorLocation& location, long hr, XVQEXCEP::ERROR_SEVERITY severity,
                                    const OLECHAR* message, bool rethrow, unsigned flags);
    static void WriteUnknownErrorToLogBook(const VQErrorLocation& location, const OLECHAR* text);
    static void WriteAPIErrorToLogBook(const VQErrorLocation& location, const OLECHAR* message, DWORD lastError);
    static void WriteLineToErrorLogBook(const VQErrorLocation& location, const OLECHAR* text,
                                        const OLECHAR* additionalText);

    // Reports a structured exception and, when `raise` is true, throws it as an
    // XWrappedVQException around an XVQStructuredException (type TYPE_STRUCTURED, HRESULT = code).
    static void TranslateCException(const VQErrorLocation& location, unsigned code, EXCEPTION_POINTERS* info,
                                    bool raise);

    static XWrappedVQException CreateExcep(std::exception& error, const VQErrorLocation& location,
                                           XVQEXCEP::ERROR_SEVERITY severity, const OLECHAR* text);
    static XWrappedVQException CreateUnknownExcep(const VQErrorLocation& location, const OLECHAR* text);
    static XWrappedVQException CreateSystemExcepAtError(const VQErrorLocation& location, HRESULT hr,
                                                        const OLECHAR* message, const OLECHAR* text);

    // Throws when `pointer` is null ("null pointer", E_POINTER); otherwise returns.
    static void CheckPtr_ThrowExcep(const VQErrorLocation& location, const void* pointer, const OLECHAR* text);
    [[noreturn]] static void DoThrowExcepAtError(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location,
                                                 HRESULT hr, XVQEXCEP::ERROR_SEVERITY severity, long subCode,
                                                 const OLECHAR* message, const OLECHAR* text, unsigned count);
};

class VQ_EXPORT XVQExceptionFactory {
public:
    static XWrappedVQException CreateSystemException(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location,
                                                     const OLECHAR* message, const OLECHAR* text);
    static XWrappedVQException DoCreateException(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location,
                                                 HRESULT hr, XVQEXCEP::ERROR_SEVERITY severity, long subCode,
                                                 const OLECHAR* message, const OLECHAR* text, unsigned count);
    [[noreturn]] static void DoThrowException(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location,
                                              HRESULT hr, XVQEXCEP::ERROR_SEVERITY severity, long subCode,
                                              const OLECHAR* message, const OLECHAR* text, unsigned count);
};

class VQ_EXPORT XHRErrorcodeHandler {
public:
    // SEVERITY_NONE for success codes, SEVERITY_CRITICAL for E_OUTOFMEMORY, SEVERITY_ERROR for
    // communication failures (RPC facility, RPC server unavailable / call failed), else
    // SEVERITY_SEVERE.
    static XVQEXCEP::ERROR_SEVERITY GetErrorSeverity(HRESULT hr);
};

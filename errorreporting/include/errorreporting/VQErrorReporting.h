// The module's side of error reporting: the module name, the function-name statics, the throw
// functions and the three catch ladders every operation ends with.
//
// Conventions:
// - Every function that reports keeps its qualified name in a function-local static
//   (VQ_FUNCTION_NAME) and builds a VQErrorLocation just before each report (VQ_LOCATION).
// - Throw functions throw an XWrappedVQException; their callers pass the count 1 and each passes
//   count + 1 on to the error component.
// - Ladders run a body and route what escapes it to the writer or collector of its type, with the
//   report lines the caller gives; the operation then goes on behind the ladder. None rethrows.
#pragma once

#include <exception>
#include <utility>

#include "VQError/VQError.h"
#include "vqplatform/kernel.h"

// The subsystem name of every report of the module: "VQProcessStateHandler".
VQ_EXPORT const XVQComBSTR& VQModuleName();

// Declares the reporting function's own name, built on first entry. Wide or narrow text. Never
// destroyed: the worker thread may still report while a Linux process runs its exit-time
// destructors (Windows ends the other threads first).
#define VQ_FUNCTION_NAME(text) \
    [[maybe_unused]] static const XVQComBSTR& s_szFunctionName = *new XVQComBSTR(text)
// A location in `file` at `line` with the module name and the function-name static in scope.
#define VQ_LOCATION(file, line) VQErrorLocation((file), (line), VQModuleName(), s_szFunctionName)

// HRESULT from the thread's last error: 0 -> E_FAIL, negative as it is, else facility 7 with the
// failure bit (as HRESULT_FROM_WIN32).
HRESULT VQHResultFromLastError();

[[noreturn]] void ThrowExcepAtLastError(XVQEXCEP::EXCEPTION_TYPE type, XVQEXCEP::ERROR_SEVERITY severity,
                                        const VQErrorLocation& location, const OLECHAR* message,
                                        const OLECHAR* text, unsigned count);
void ThrowExcepIfFailed(XVQEXCEP::EXCEPTION_TYPE type, HRESULT hr, XVQEXCEP::ERROR_SEVERITY severity,
                        const VQErrorLocation& location, const OLECHAR* message, const OLECHAR* text,
                        unsigned count);
void ThrowHRExcepIfFailed(const VQErrorLocation& location, HRESULT hr, const OLECHAR* message,
                          const OLECHAR* text);
XWrappedVQException CreateExcepIfFailed(XVQEXCEP::EXCEPTION_TYPE type, HRESULT hr,
                                        XVQEXCEP::ERROR_SEVERITY severity, const VQErrorLocation& location,
                                        const OLECHAR* message, const OLECHAR* text, unsigned count);

namespace vqerr {

// Full logging ladder: every report carries `line`. MFC exceptions are reported, not deleted.
template <class Body>
void FullLoggingLadder(const char* file, unsigned line, const XVQComBSTR& function, Body&& body) {
    try {
        std::forward<Body>(body)();
    } catch (_com_error& e) {
        XVQError::WriteErrorToLogBook(VQErrorLocation(file, line, VQModuleName(), function), e, L"");
    } catch (XWrappedVQException& e) {
        XVQError::WriteErrorToLogBook(VQErrorLocation(file, line, VQModuleName(), function), e, false, 0);
    } catch (std::exception& e) {
        XVQError::WriteErrorToLogBook(VQErrorLocation(file, line, VQModuleName(), function), e,
                                      XVQEXCEP::VQ_SEVERITY_SEVERE, L"");
    } catch (ATL::CAtlException& e) {
        XVQError::WriteErrorToLogBook(VQErrorLocation(file, line, VQModuleName(), function), e,
                                      XVQEXCEP::VQ_SEVERITY_SEVERE, L"");
    } catch (CException* e) {
        XVQError::WriteErrorToLogBook(VQErrorLocation(file, line, VQModuleName(), function), e,
                                      XVQEXCEP::VQ_SEVERITY_SEVERE, L"");
    } catch (...) {
        XVQError::WriteUnknownErrorToLogBook(VQErrorLocation(file, line, VQModuleName(), function), L"");
    }
}

// Short logging ladder (thread routines): wrapped exceptions are written with their own location,
// a std::exception with `stdLine` and severity 8, anything else with `otherLine`.
// Returns false when something was caught.
template <class Body>
bool ShortLoggingLadder(const char* file, unsigned stdLine, unsigned otherLine, const XVQComBSTR& function,
                        Body&& body) {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (XWrappedVQException& e) {
        XVQError::WriteErrorToLogBook(e, false, 0);
    } catch (std::exception& e) {
        XVQError::WriteErrorToLogBook(VQErrorLocation(file, stdLine, VQModuleName(), function), e,
                                      XVQEXCEP::VQ_SEVERITY_SEVERE, L"");
    } catch (...) {
        XVQError::WriteUnknownErrorToLogBook(VQErrorLocation(file, otherLine, VQModuleName(), function), L"");
    }
    return false;
}

// Collecting ladder (worker cycle): what escapes `body` becomes an XWrappedVQException (a
// std::exception through CreateExcep with `stdLine` and severity 8, anything else through
// CreateUnknownExcep with `otherLine`) and is handed to `collect`, which adds it to the guarded
// exception logger. Returns false when something was caught.
template <class Body, class Collect>
bool CollectingLadder(const char* file, unsigned stdLine, unsigned otherLine, const XVQComBSTR& function,
                      Body&& body, Collect&& collect) {
    XWrappedVQException caught;
    try {
        std::forward<Body>(body)();
        return true;
    } catch (XWrappedVQException& e) {
        caught = e;
    } catch (std::exception& e) {
        caught = XVQError::CreateExcep(e, VQErrorLocation(file, stdLine, VQModuleName(), function),
                                       XVQEXCEP::VQ_SEVERITY_SEVERE, L"");
    } catch (...) {
        caught =
            XVQError::CreateUnknownExcep(VQErrorLocation(file, otherLine, VQModuleName(), function), L"");
    }
    std::forward<Collect>(collect)(caught);
    return false;
}

}  // namespace vqerr

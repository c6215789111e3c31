// The log-book writers. Each builds one XVQLogBook entry from what it is given; any failure while
// building (out of memory, a throwing MFC message) drops the report, since writers run inside the
// callers' catch handlers and must not throw.
#include "VQError/XVQError.h"

#include <new>
#include <utility>

#include "VQError/XVQLogBook.h"
#include "vqplatform/kernel.h"

using XVQEXCEP::ERROR_SEVERITY;
using Kind = XVQLogEntry::Kind;

namespace {

constexpr UINT kMfcMessageChars = 512;

std::wstring Text(const OLECHAR* text) {
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// `location` may be null (an empty exception without a location): the entry then names no place.
XVQLogEntry MakeEntry(Kind kind, const VQErrorLocation* location, int severity, int type, HRESULT hr,
                      std::wstring message, std::wstring text) {
    XVQLogEntry entry;
    entry.time = std::chrono::system_clock::now();
    entry.processId = GetCurrentProcessId();
    entry.threadId = GetCurrentThreadId();
    entry.kind = kind;
    entry.severity = severity;
    entry.type = type;
    entry.hr = hr;
    if (location != nullptr) {
        entry.file = location->File();
        entry.line = location->Line();
        entry.subsystem = location->Subsystem().ToWString();
        entry.function = location->Function().ToWString();
    }
    entry.message = std::move(message);
    entry.text = std::move(text);
    return entry;
}

template <class Build>
void Report(Build&& build) noexcept {
    try {
        XVQLogBook::Write(build());
    } catch (...) {
        // Dropped: see the file comment.
    }
}

// The exception's own values; its place unless the catcher names one.
XVQLogEntry ExceptionEntry(const XWrappedVQException& error, const VQErrorLocation* location) {
    const XVQException* exception = error.Get();
    if (exception == nullptr) {
        return MakeEntry(Kind::Exception, location, XVQEXCEP::VQ_SEVERITY_NONE, 0, S_OK, L"empty exception",
                         L"");
    }
    return MakeEntry(Kind::Exception, location != nullptr ? location : &exception->Location(),
                     exception->Severity(), exception->Type(), exception->HResult(),
                     exception->Message().ToWString(), exception->AdditionalText().ToWString());
}

HRESULT MfcResult(const CException* error) {
    if (const auto* ole = dynamic_cast<const COleException*>(error)) {
        return ole->m_sc;
    }
    if (dynamic_cast<const CMemoryException*>(error) != nullptr) {
        return E_OUTOFMEMORY;
    }
    return E_FAIL;
}

// The exception's own description; a generic one when it has none or fails to give it, so that the
// report is still written.
std::wstring MfcMessage(const CException* error) {
    if (error != nullptr) {
        wchar_t buffer[kMfcMessageChars] = {};
        try {
            if (error->GetErrorMessage(buffer, kMfcMessageChars) != FALSE && buffer[0] != L'\0') {
                buffer[kMfcMessageChars - 1] = L'\0';
                return buffer;
            }
        } catch (...) {
            // Falls back below.
        }
    }
    return L"MFC exception";
}

}  // namespace

void XVQError::WriteErrorToLogBook(const VQErrorLocation& location, _com_error& error, const OLECHAR* text) {
    Report([&] {
        const HRESULT hr = error.Error();
        return MakeEntry(Kind::ComError, &location, XHRErrorcodeHandler::GetErrorSeverity(hr),
                         XVQEXCEP::VQ_TYPE_SYSTEM, hr, L"COM error", Text(text));
    });
}

void XVQError::WriteErrorToLogBook(const VQErrorLocation& location, const XWrappedVQException& error,
                                   bool /*rethrow*/, unsigned /*flags*/) {
    Report([&] { return ExceptionEntry(error, &location); });
}

void XVQError::WriteErrorToLogBook(const XWrappedVQException& error, bool /*rethrow*/, unsigned /*flags*/) {
    Report([&] { return ExceptionEntry(error, nullptr); });
}

void XVQError::WriteErrorToLogBook(const VQErrorLocation& location, std::exception& error,
                                   ERROR_SEVERITY severity, const OLECHAR* text) {
    Report([&] {
        return MakeEntry(Kind::StdException, &location, severity, XVQEXCEP::VQ_TYPE_STD, E_FAIL,
                         VQUtf8ToWide(error.what()), Text(text));
    });
}

void XVQError::WriteErrorToLogBook(const VQErrorLocation& location, ATL::CAtlException& error,
                                   ERROR_SEVERITY severity, const OLECHAR* text) {
    Report([&] {
        return MakeEntry(Kind::AtlException, &location, severity, XVQEXCEP::VQ_TYPE_SYSTEM, error.m_hr,
                         L"ATL exception", Text(text));
    });
}

void XVQError::WriteErrorToLogBook(const VQErrorLocation& location, CException* error,
                                   ERROR_SEVERITY severity, const OLECHAR* text) {
    Report([&] {
        return MakeEntry(Kind::MfcException, &location, severity, XVQEXCEP::VQ_TYPE_SYSTEM, MfcResult(error),
                         MfcMessage(error), Text(text));
    });
}

void XVQError::WriteErrorToLogBook(const VQErrorLocation& location, long hr, ERROR_SEVERITY severity,
                                   const OLECHAR* message, bool /*rethrow*/, unsigned /*flags*/) {
    Report([&] {
        return MakeEntry(Kind::HResult, &location, severity, XVQEXCEP::VQ_TYPE_SYSTEM,
                         static_cast<HRESULT>(hr), Text(message), L"");
    });
}

void XVQError::WriteUnknownErrorToLogBook(const VQErrorLocation& location, const OLECHAR* text) {
    Report([&] {
        return MakeEntry(Kind::Unknown, &location, XVQEXCEP::VQ_SEVERITY_SEVERE, XVQEXCEP::VQ_TYPE_UNKNOWN,
                         E_FAIL, L"unknown exception", Text(text));
    });
}

void XVQError::WriteAPIErrorToLogBook(const VQErrorLocation& location, const OLECHAR* message,
                                      DWORD lastError) {
    Report([&] {
        const HRESULT hr = HRESULT_FROM_WIN32(lastError);
        // A failed call that left no error code is still a failure.
        const ERROR_SEVERITY severity =
            FAILED(hr) ? XHRErrorcodeHandler::GetErrorSeverity(hr) : XVQEXCEP::VQ_SEVERITY_SEVERE;
        XVQLogEntry entry =
            MakeEntry(Kind::ApiError, &location, severity, XVQEXCEP::VQ_TYPE_SYSTEM, hr, Text(message), L"");
        entry.apiError = lastError;
        return entry;
    });
}

void XVQError::WriteLineToErrorLogBook(const VQErrorLocation& location, const OLECHAR* text,
                                       const OLECHAR* additionalText) {
    Report([&] {
        return MakeEntry(Kind::Line, &location, XVQEXCEP::VQ_SEVERITY_NONE, 0, S_OK, Text(text),
                         Text(additionalText));
    });
}

void XVQError::TranslateCException(const VQErrorLocation& location, unsigned code, EXCEPTION_POINTERS* info,
                                   bool raise) {
    XWrappedVQException error;
    try {
        const void* address = info != nullptr && info->ExceptionRecord != nullptr
                                  ? info->ExceptionRecord->ExceptionAddress
                                  : nullptr;
        error = XWrappedVQException(
            XRefCountPtr<XVQException>(new XVQStructuredException(location, code, address)));
        XVQLogEntry entry = ExceptionEntry(error, &location);
        entry.kind = Kind::Structured;
        XVQLogBook::Write(entry);
    } catch (...) {
        // Dropped, as by every writer; raising below still reports the fault to the caller.
    }
    if (raise) {
        if (error.IsEmpty()) {
            throw std::bad_alloc();
        }
        throw error;
    }
}

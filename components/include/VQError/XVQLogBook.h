/// @file
/// The error log book: process-wide, thread-safe. Every report of the error component becomes one
/// entry, kept in memory (the most recent XVQLogBook::kMaxEntries, readable in-process) and written
/// as one structured line to the chosen sink:
/// - Syslog (default): the system log, identity "VQProcessStateHandler64", priority by severity
///   (on Windows the debugger output);
/// - Stderr: standard error;
/// - None: memory only.
///
/// Writing never throws.
///
/// Line format: one line of key=value pairs; text values quoted and UTF-8, with quote, backslash,
/// newline, carriage return and tab escaped by a backslash as in C, and other control characters as
/// a backslash, x and two hex digits; time in UTC; an api_error entry adds lasterror=N after hr:
/// @verbatim
/// time=2026-12-05T16:15:31.123Z pid=1 tid=2 kind=exception severity=8 type=2 hr=0x80004005
/// file=".\\xemergencyhandlerinstance" line=277 subsystem="VQProcessStateHandler"
/// function="XEmergencyHandlerInstance::Init" message="GetComputerName failed" text=""
/// @endverbatim
/// kind is one of exception, com_error, std_exception, atl_exception, mfc_exception, hresult,
/// unknown, api_error, line, structured.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "VQError/VQErrorTypes.h"

// Exported classes with members of standard-library types: see VQErrorExport.h on C4251.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

/// One entry of the log book.
struct VQERROR_API XVQLogEntry {
    /// What was reported.
    enum class Kind {
        Exception,     ///< An XWrappedVQException.
        ComError,      ///< A _com_error.
        StdException,  ///< A std::exception.
        AtlException,  ///< An ATL::CAtlException.
        MfcException,  ///< An MFC CException.
        HResult,       ///< A failed HRESULT with a message.
        Unknown,       ///< An exception of unknown type.
        ApiError,      ///< A failed API call with its last error.
        Line,          ///< A plain text line.
        Structured,    ///< A structured exception.
    };

    std::chrono::system_clock::time_point time;  ///< When the entry was written.
    DWORD processId = 0;                         ///< The writing process.
    DWORD threadId = 0;                          ///< The writing thread.
    Kind kind = Kind::Line;                      ///< What was reported.
    int severity = 0;                            ///< An XVQEXCEP::ERROR_SEVERITY.
    int type = 0;                                ///< An XVQEXCEP::EXCEPTION_TYPE; 0 for lines.
    HRESULT hr = 0;                              ///< The error's HRESULT; S_OK for lines.
    DWORD apiError = 0;                          ///< The last error of a failed API call (ApiError only).
    std::string file;                            ///< The reporting source file.
    unsigned line = 0;                           ///< The line in it.
    std::wstring subsystem;                      ///< The reporting subsystem (module).
    std::wstring function;                       ///< The reporting function.
    std::wstring message;                        ///< What failed, or the line's text.
    std::wstring text;                           ///< More text; empty for none.

    /// @return The structured line as written to the sink (the file's description gives its format).
    std::string Format() const;
};

/// The process-wide log book (see the file's description).
class VQERROR_API XVQLogBook {
  public:
    /// Where entries are written besides memory.
    enum class Sink {
        Syslog,  ///< The system log (on Windows the debugger output); the default.
        Stderr,  ///< Standard error.
        None,    ///< Memory only.
    };
    // An enumerator, not a static data member: a member of an imported class that a client binds
    // to a reference would be looked up in the DLL, which has no storage for an inline constant.
    /// Limits of the log book.
    enum : std::size_t {
        kMaxEntries = 10000  ///< How many of the most recent entries memory keeps.
    };

    /// Keeps an entry and writes it to the sink; never throws.
    /// @param entry The entry.
    static void Write(const XVQLogEntry& entry) noexcept;
    /// @return The entries kept in memory, oldest first.
    static std::vector<XVQLogEntry> Entries();
    /// Forgets the entries kept in memory.
    static void Clear();
    /// Chooses where entries are written from now on.
    /// @param sink The sink.
    static void SetSink(Sink sink);
    /// @return Where entries are written.
    static Sink GetSink();
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif

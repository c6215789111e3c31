// The error log book: process-wide, thread-safe. Every report of the error component becomes one
// entry, kept in memory (the most recent kMaxEntries, readable in-process) and written as one
// structured line to the chosen sink:
//   Syslog (default): the system log, identity "VQProcessStateHandler64", priority by severity
//     (on Windows the debugger output);
//   Stderr: standard error; None: memory only.
// Writing never throws.
//
// Line format (one line, key=value; text values quoted, UTF-8, with \" \\ \n \r \t escaped and
// other control characters as \xNN; time in UTC; an api_error entry adds lasterror=N after hr):
//   time=2026-12-05T16:15:31.123Z pid=1 tid=2 kind=exception severity=8 type=2 hr=0x80004005
//   file=".\\xemergencyhandlerinstance" line=277 subsystem="VQProcessStateHandler"
//   function="XEmergencyHandlerInstance::Init" message="GetComputerName failed" text=""
// kind is one of exception, com_error, std_exception, atl_exception, mfc_exception, hresult,
// unknown, api_error, line, structured.
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

struct VQERROR_API XVQLogEntry {
    enum class Kind {
        Exception,     // an XWrappedVQException
        ComError,      // _com_error
        StdException,  // std::exception
        AtlException,  // ATL::CAtlException
        MfcException,  // CException*
        HResult,       // a failed HRESULT with a message
        Unknown,       // an exception of unknown type
        ApiError,      // a failed API call with its last error
        Line,          // a plain text line
        Structured,    // a structured exception
    };

    std::chrono::system_clock::time_point time;
    DWORD processId = 0;
    DWORD threadId = 0;
    Kind kind = Kind::Line;
    int severity = 0;
    int type = 0;
    HRESULT hr = 0;
    DWORD apiError = 0;  // ApiError only
    std::string file;
    unsigned line = 0;
    std::wstring subsystem;
    std::wstring function;
    std::wstring message;
    std::wstring text;

    // The structured line as written to the sink.
    std::string Format() const;
};

class VQERROR_API XVQLogBook {
  public:
    enum class Sink { Syslog, Stderr, None };
    // An enumerator, not a static data member: a member of an imported class that a client binds
    // to a reference would be looked up in the DLL, which has no storage for an inline constant.
    enum : std::size_t { kMaxEntries = 10000 };

    static void Write(const XVQLogEntry& entry) noexcept;
    static std::vector<XVQLogEntry> Entries();
    static void Clear();
    static void SetSink(Sink sink);
    static Sink GetSink();
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif

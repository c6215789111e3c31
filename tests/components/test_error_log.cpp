#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_error_support.h"
#include "vqplatform/kernel.h"

namespace {

using Kind = XVQLogEntry::Kind;
using vqtest::CatchLocation;
using vqtest::ThrowLocation;
using namespace XVQEXCEP;

class LogBookTest : public vqtest::ErrorComponentTest {};

struct WriterCase {
    const char* name;
    std::function<void()> write;
    Kind kind;
    int severity;
    int type;
    HRESULT hr;
    const wchar_t* message;
    const wchar_t* text;
    bool atThrowLocation = false;  // the exception's own place instead of the catch location
    DWORD apiError = 0;
};

class ThrowingMessageException : public CException {
  public:
    BOOL GetErrorMessage(LPWSTR, UINT, UINT*) const override { throw std::runtime_error("no message"); }
};

XWrappedVQException ModuleError() {
    return XVQExceptionFactory::DoCreateException(TYPE_MODULE, ThrowLocation(), E_ABORT, SEVERITY_WARNING, -1,
                                                  L"event wait failed", L"second text", 2);
}

TEST_F(LogBookTest, EveryWriterMakesOneEntryWithItsFields) {
    const VQErrorLocation at = CatchLocation();
    COleException ole(E_NOINTERFACE);
    CMemoryException memory;
    ThrowingMessageException throwing;
    wchar_t oleText[256] = {};
    ASSERT_TRUE(ole.GetErrorMessage(oleText, 256));
    const std::vector<WriterCase> cases = {
        {"com_error",
         [&] {
             _com_error error(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
             XVQError::WriteErrorToLogBook(at, error, L"");
         },
         Kind::ComError, SEVERITY_ERROR, TYPE_SYSTEM, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
         L"COM error", L""},
        {"wrapped at the catch", [&] { XVQError::WriteErrorToLogBook(at, ModuleError(), false, 0); },
         Kind::Exception, SEVERITY_WARNING, TYPE_MODULE, E_ABORT, L"event wait failed", L"second text"},
        {"wrapped where raised", [&] { XVQError::WriteErrorToLogBook(ModuleError(), true, 7); },
         Kind::Exception, SEVERITY_WARNING, TYPE_MODULE, E_ABORT, L"event wait failed", L"second text", true},
        {"empty wrapper", [&] { XVQError::WriteErrorToLogBook(at, XWrappedVQException(), false, 0); },
         Kind::Exception, SEVERITY_NONE, 0, S_OK, L"empty exception", L""},
        {"std::exception",
         [&] {
             std::runtime_error error("caf\xC3\xA9 \"closed\"");
             XVQError::WriteErrorToLogBook(at, error, SEVERITY_SEVERE, L"");
         },
         Kind::StdException, SEVERITY_SEVERE, TYPE_STD, E_FAIL, L"caf\u00E9 \"closed\"", L""},
        {"CAtlException",
         [&] {
             ATL::CAtlException error(E_INVALIDARG);
             XVQError::WriteErrorToLogBook(at, error, SEVERITY_SEVERE, L"atl");
         },
         Kind::AtlException, SEVERITY_SEVERE, TYPE_SYSTEM, E_INVALIDARG, L"ATL exception", L"atl"},
        {"COleException", [&] { XVQError::WriteErrorToLogBook(at, &ole, SEVERITY_SEVERE, L""); },
         Kind::MfcException, SEVERITY_SEVERE, TYPE_SYSTEM, E_NOINTERFACE, oleText, L""},
        {"CMemoryException", [&] { XVQError::WriteErrorToLogBook(at, &memory, SEVERITY_CRITICAL, L""); },
         Kind::MfcException, SEVERITY_CRITICAL, TYPE_SYSTEM, E_OUTOFMEMORY, L"Out of memory.", L""},
        {"CException failing to describe itself",
         [&] { XVQError::WriteErrorToLogBook(at, &throwing, SEVERITY_SEVERE, L""); }, Kind::MfcException,
         SEVERITY_SEVERE, TYPE_SYSTEM, E_FAIL, L"MFC exception", L""},
        {"HRESULT",
         [&] { XVQError::WriteErrorToLogBook(at, long{E_OUTOFMEMORY}, SEVERITY_CRITICAL, L"m", 0, 0); },
         Kind::HResult, SEVERITY_CRITICAL, TYPE_SYSTEM, E_OUTOFMEMORY, L"m", L""},
        {"unknown", [&] { XVQError::WriteUnknownErrorToLogBook(at, L"u"); }, Kind::Unknown, SEVERITY_SEVERE,
         TYPE_UNKNOWN, E_FAIL, L"unknown exception", L"u"},
        {"API error",
         [&] { XVQError::WriteAPIErrorToLogBook(at, L"CreateEvent failed", ERROR_ACCESS_DENIED); },
         Kind::ApiError, SEVERITY_SEVERE, TYPE_SYSTEM, E_ACCESSDENIED, L"CreateEvent failed", L"", false,
         ERROR_ACCESS_DENIED},
        {"API error without a code", [&] { XVQError::WriteAPIErrorToLogBook(at, L"x", 0); }, Kind::ApiError,
         SEVERITY_SEVERE, TYPE_SYSTEM, S_OK, L"x", L""},
        {"line", [&] { XVQError::WriteLineToErrorLogBook(at, L"hello", L"world"); }, Kind::Line,
         SEVERITY_NONE, 0, S_OK, L"hello", L"world"},
        {"line of null texts", [&] { XVQError::WriteLineToErrorLogBook(at, nullptr, nullptr); }, Kind::Line,
         SEVERITY_NONE, 0, S_OK, L"", L""},
    };

    for (const WriterCase& c : cases) {
        SCOPED_TRACE(c.name);
        XVQLogBook::Clear();
        const auto before = std::chrono::system_clock::now();
        EXPECT_NO_THROW(c.write());
        const auto after = std::chrono::system_clock::now();

        const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
        ASSERT_EQ(entries.size(), 1u);
        const XVQLogEntry& e = entries[0];
        EXPECT_EQ(e.kind, c.kind);
        EXPECT_EQ(e.severity, c.severity);
        EXPECT_EQ(e.type, c.type);
        EXPECT_EQ(e.hr, c.hr);
        EXPECT_EQ(e.apiError, c.apiError);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(e.text, c.text);
        const VQErrorLocation where = c.atThrowLocation ? ThrowLocation() : at;
        EXPECT_EQ(e.file, where.File());
        EXPECT_EQ(e.line, where.Line());
        EXPECT_EQ(e.subsystem, L"VQProcessStateHandler");
        EXPECT_EQ(e.function, where.Function().ToWString());
        EXPECT_EQ(e.processId, GetCurrentProcessId());
        EXPECT_EQ(e.threadId, GetCurrentThreadId());
        EXPECT_TRUE(before <= e.time && e.time <= after);
    }
    // The catcher owns the MFC exceptions: reading them again shows they were not deleted.
    EXPECT_EQ(ole.m_sc, E_NOINTERFACE);
}

TEST_F(LogBookTest, TranslateCExceptionReportsAndRaisesTheStructuredException) {
    int target = 0;
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = &target;
    EXCEPTION_POINTERS pointers{&record, nullptr};

    try {
        XVQError::TranslateCException(CatchLocation(), EXCEPTION_ACCESS_VIOLATION, &pointers, true);
        ADD_FAILURE() << "must raise";
    } catch (const XWrappedVQException& error) {
        const auto* structured = dynamic_cast<const XVQStructuredException*>(error.Get());
        ASSERT_NE(structured, nullptr);
        EXPECT_EQ(structured->Type(), TYPE_STRUCTURED);
        EXPECT_EQ(structured->Code(), EXCEPTION_ACCESS_VIOLATION);
        EXPECT_EQ(static_cast<DWORD>(structured->HResult()), EXCEPTION_ACCESS_VIOLATION);
        EXPECT_EQ(structured->Address(), &target);
        EXPECT_EQ(structured->Message().ToWString(), L"access violation");
    }
    EXPECT_NO_THROW(
        XVQError::TranslateCException(CatchLocation(), EXCEPTION_INT_DIVIDE_BY_ZERO, nullptr, false));
    EXPECT_NO_THROW(XVQError::TranslateCException(CatchLocation(), 0xE0001234u, &pointers, false));

    const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 3u);
    for (const XVQLogEntry& e : entries) {
        EXPECT_EQ(e.kind, Kind::Structured);
        EXPECT_EQ(e.type, TYPE_STRUCTURED);
        EXPECT_EQ(e.function, L"XEmergencyHandlerInstance::Init");
    }
    EXPECT_EQ(static_cast<DWORD>(entries[0].hr), EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(entries[0].message, L"access violation");
    EXPECT_EQ(entries[1].message, L"integer division by zero");
    EXPECT_EQ(entries[1].text, L"");  // no record, no address
    EXPECT_EQ(entries[2].message, L"structured exception 0xE0001234");
}

TEST(XVQLogEntryFormat, WritesOneEscapedKeyValueLine) {
    XVQLogEntry e;
    e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796487331123));
    e.processId = 1;
    e.threadId = 2;
    e.kind = Kind::Exception;
    e.severity = 8;
    e.type = 2;
    e.hr = E_FAIL;
    e.file = ".\\xemergencyhandlerinstance";
    e.line = 277;
    e.subsystem = L"VQProcessStateHandler";
    e.function = L"XEmergencyHandlerInstance::Init";
    e.message = L"say \"hi\"\nnow\t\x01";
    e.text = L"gr\u00FC\u00DF";
    EXPECT_EQ(e.Format(),
              "time=2026-12-05T16:15:31.123Z pid=1 tid=2 kind=exception severity=8 type=2 hr=0x80004005 "
              "file=\".\\\\xemergencyhandlerinstance\" line=277 subsystem=\"VQProcessStateHandler\" "
              "function=\"XEmergencyHandlerInstance::Init\" message=\"say \\\"hi\\\"\\nnow\\t\\x01\" "
              "text=\"gr\xC3\xBC\xC3\x9F\"");

    e.kind = Kind::ApiError;
    e.apiError = 1722;
    e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1709251199999));
    const std::string leapDay = e.Format();
    EXPECT_EQ(leapDay.rfind("time=2024-02-29T23:59:59.999Z pid=1 tid=2 kind=api_error", 0), 0u) << leapDay;
    EXPECT_NE(leapDay.find(" hr=0x80004005 lasterror=1722 file="), std::string::npos) << leapDay;

    e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(-500));
    EXPECT_EQ(e.Format().rfind("time=1969-12-31T23:59:59.500Z", 0), 0u);
}

TEST_F(LogBookTest, KeepsTheMostRecentEntriesAndSwitchesSinks) {
    const VQErrorLocation at = CatchLocation();
    for (std::size_t i = 0; i <= XVQLogBook::kMaxEntries; ++i) {
        XVQError::WriteLineToErrorLogBook(at, std::to_wstring(i).c_str(), L"");
    }
    const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), XVQLogBook::kMaxEntries);
    EXPECT_EQ(entries.front().message, L"1");
    EXPECT_EQ(entries.back().message, std::to_wstring(XVQLogBook::kMaxEntries));

    XVQLogBook::SetSink(XVQLogBook::Sink::Stderr);
    EXPECT_EQ(XVQLogBook::GetSink(), XVQLogBook::Sink::Stderr);
    ::testing::internal::CaptureStderr();
    XVQError::WriteLineToErrorLogBook(at, L"to stderr", L"");
    const std::string written = ::testing::internal::GetCapturedStderr();
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    EXPECT_EQ(written, XVQLogBook::Entries().back().Format() + "\n");
}

TEST_F(LogBookTest, ConcurrentWritersLoseNoEntryAndKeepEachThreadsOrder) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const VQErrorLocation at = CatchLocation();
            for (int i = 0; i < kPerThread; ++i) {
                XVQError::WriteLineToErrorLogBook(at, std::to_wstring(t).c_str(), std::to_wstring(i).c_str());
                if (i % 50 == 0) {
                    (void)XVQLogBook::Entries();
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    std::map<std::wstring, int> next;  // per writer: the index expected next
    for (const XVQLogEntry& e : XVQLogBook::Entries()) {
        EXPECT_EQ(e.text, std::to_wstring(next[e.message]++));
    }
    ASSERT_EQ(next.size(), static_cast<std::size_t>(kThreads));
    for (const auto& [writer, count] : next) {
        EXPECT_EQ(count, kPerThread);
    }
}

}  // namespace

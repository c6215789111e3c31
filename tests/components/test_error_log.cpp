#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_error_support.h"
#include "vqplatform/kernel.h"
#include "seams/PlatformSeams.h"

namespace {

using Kind = XVQLogEntry::Kind;
using namespace XVQEXCEP;
using TimePoint = std::chrono::system_clock::time_point;

class MuteException : public CException {
  public:
    BOOL GetErrorMessage(LPWSTR, UINT, UINT*) const override { throw std::runtime_error("no message"); }
};

class XVQLogBookTest : public vqtest::LogBookTest {
  protected:
    // Whether the only entry has these values and was written just now by this thread at `place`.
    ::testing::AssertionResult Logged(Kind kind, int severity, int type, HRESULT hr, const wchar_t* message,
                                      const wchar_t* text, const vqtest::Place& place = PlaceOf(At(277))) {
        const XVQLogEntry e = TakeOnly();
        if (std::tie(e.kind, e.severity, e.type, e.hr, e.message, e.text) !=
                std::make_tuple(kind, severity, type, hr, message, text) ||
            (kind != Kind::ApiError && e.apiError != 0) || PlaceOf(e) != place ||
            e.processId != GetCurrentProcessId() || e.threadId != GetCurrentThreadId() || e.time < m_start ||
            e.time > std::chrono::system_clock::now()) {
            return ::testing::AssertionFailure() << e.Format();
        }
        return ::testing::AssertionSuccess();
    }
    const TimePoint m_start = std::chrono::system_clock::now();
};

TEST_F(XVQLogBookTest, EachWriterMakesOneEntryOfItsKindAtItsPlace) {
    const VQErrorLocation at = At(277);
    const XWrappedVQException raised = XVQExceptionFactory::DoCreateException(
        VQ_TYPE_MODULE, At(58), E_ABORT, VQ_SEVERITY_WARNING, -1, L"wait failed", L"second", 2);
    const HRESULT rpcDown = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    _com_error com(rpcDown);
    std::runtime_error std("caf\xC3\xA9");
    ATL::CAtlException atl(E_INVALIDARG);
    COleException ole(E_ABORT);
    MuteException mute;

    XVQError::WriteErrorToLogBook(at, com, L"t");
    EXPECT_TRUE(Logged(Kind::ComError, 6, 1, rpcDown, L"COM error", L"t"));
    XVQError::WriteErrorToLogBook(raised, true, 7);
    EXPECT_TRUE(Logged(Kind::Exception, 3, 2, E_ABORT, L"wait failed", L"second", PlaceOf(At(58))));
    XVQError::WriteErrorToLogBook(at, XWrappedVQException(), false, 0);
    EXPECT_TRUE(Logged(Kind::Exception, 0, 0, S_OK, L"empty exception", L""));
    XVQError::WriteErrorToLogBook(XWrappedVQException(), false, 0);  // nowhere
    EXPECT_TRUE(Logged(Kind::Exception, 0, 0, S_OK, L"empty exception", L"", vqtest::Place{}));
    XVQError::WriteErrorToLogBook(at, std, VQ_SEVERITY_SEVERE, L"t");
    EXPECT_TRUE(Logged(Kind::StdException, 8, 3, E_FAIL, L"caf\u00E9", L"t"));
    XVQError::WriteErrorToLogBook(at, atl, VQ_SEVERITY_SEVERE, L"t");
    EXPECT_TRUE(Logged(Kind::AtlException, 8, 1, E_INVALIDARG, L"ATL exception", L"t"));
    XVQError::WriteErrorToLogBook(at, &ole, VQ_SEVERITY_SEVERE, L"t");
    EXPECT_TRUE(
        Logged(Kind::MfcException, 8, 1, static_cast<HRESULT>(0x80004004), L"Operation aborted", L"t"));
    XVQError::WriteErrorToLogBook(at, &mute, VQ_SEVERITY_SEVERE, L"");
    EXPECT_TRUE(Logged(Kind::MfcException, 8, 1, E_FAIL, L"MFC exception", L""));
    XVQError::WriteErrorToLogBook(at, long{E_OUTOFMEMORY}, VQ_SEVERITY_CRITICAL, L"m", false, 0);
    EXPECT_TRUE(Logged(Kind::HResult, 11, 1, E_OUTOFMEMORY, L"m", L""));
    XVQError::WriteUnknownErrorToLogBook(at, L"t");
    EXPECT_TRUE(Logged(Kind::Unknown, 8, 5, E_FAIL, L"unknown exception", L"t"));
    XVQError::WriteAPIErrorToLogBook(at, L"m", ERROR_ACCESS_DENIED);
    EXPECT_EQ(XVQLogBook::Entries().at(0).apiError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Logged(Kind::ApiError, 8, 1, E_ACCESSDENIED, L"m", L""));
    XVQError::WriteLineToErrorLogBook(at, L"hello", L"world");
    EXPECT_TRUE(Logged(Kind::Line, 0, 0, S_OK, L"hello", L"world"));
    int target = 0;
    EXCEPTION_RECORD record{};
    record.ExceptionAddress = &target;
    EXCEPTION_POINTERS pointers{&record, nullptr};
    const XWrappedVQException e =
        Caught([&] { XVQError::TranslateCException(at, EXCEPTION_ACCESS_VIOLATION, &pointers, true); });
    const auto* structured = dynamic_cast<const XVQStructuredException*>(e.Get());
    ASSERT_NE(structured, nullptr) << "the reported exception is raised";
    EXPECT_EQ(structured->Address(), &target);
    EXPECT_EQ(structured->AdditionalText().ToUtf8().rfind("address 0x", 0), 0u);
    EXPECT_TRUE(Logged(Kind::Structured, 11, 4, static_cast<HRESULT>(EXCEPTION_ACCESS_VIOLATION),
                       L"access violation", structured->AdditionalText()));
    XVQError::TranslateCException(at, 0xE0001234u, nullptr, false);  // unnamed, and no address
    EXPECT_TRUE(Logged(Kind::Structured, 11, 4, static_cast<HRESULT>(0xE0001234u),
                       L"structured exception 0xE0001234", L""));
}

TEST_F(XVQLogBookTest, FormatsOneEscapedKeyValueLine) {
    XVQError::WriteAPIErrorToLogBook(At(277), L"gr\u00FC\u00DF \"hi\"\\\n\t\r\x01", RPC_S_SERVER_UNAVAILABLE);
    XVQLogEntry e = TakeOnly();
    e.time = TimePoint(std::chrono::milliseconds(1796487331123));
    e.processId = 1;
    e.threadId = 2;
    EXPECT_EQ(
        e.Format(),
        "time=2026-12-05T16:15:31.123Z pid=1 tid=2 kind=api_error severity=6 type=1 hr=0x800706BA "
        "lasterror=1722 file=\".\\\\xemergencyhandlerinstance\" line=277 subsystem=\"VQProcessStateHandler\" "
        "function=\"XEmergencyHandlerInstance::Init\" message=\"gr\xC3\xBC\xC3\x9F "
        "\\\"hi\\\"\\\\\\n\\t\\r\\x01\" "
        "text=\"\"");
    // Calendar edges: an hour's first millisecond, the leap day of a year divisible by 400, and
    // the years after 2100, which is no leap year.
    const std::pair<long long, const char*> stamps[] = {{3600000, "time=1970-01-01T01:00:00.000Z "},
                                                        {951868799000, "time=2000-02-29T23:59:59.000Z "},
                                                        {4107542400000, "time=2100-03-01T00:00:00.000Z "},
                                                        {4165475696000, "time=2101-12-31T12:34:56.000Z "}};
    for (const auto& [ms, prefix] : stamps) {
        e.time = TimePoint(std::chrono::milliseconds(ms));
        EXPECT_EQ(e.Format().rfind(prefix, 0), 0u) << e.Format();
    }
    // Each kind by its documented name.
    const char* const kinds[] = {"exception", "com_error", "std_exception", "atl_exception", "mfc_exception",
                                 "hresult",   "unknown",   "api_error",     "line",          "structured"};
    for (int kind = 0; kind < 10; ++kind) {
        e.kind = static_cast<Kind>(kind);
        EXPECT_NE(e.Format().find(std::string(" kind=") + kinds[kind] + " "), std::string::npos)
            << kinds[kind];
    }
}

TEST_F(XVQLogBookTest, KeepsTheMostRecentEntriesAndWritesEachToTheSink) {
    for (std::size_t i = 0; i <= XVQLogBook::kMaxEntries; ++i) {
        XVQError::WriteLineToErrorLogBook(At(277), std::to_wstring(i).c_str(), L"");
    }
    ASSERT_EQ(XVQLogBook::Entries().size(), 10000u);
    EXPECT_EQ(XVQLogBook::Entries().front().message, L"1");

    XVQLogBook::SetSink(XVQLogBook::Sink::Stderr);
    ::testing::internal::CaptureStderr();
    XVQError::WriteLineToErrorLogBook(At(277), L"to stderr", L"");
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, XVQLogBook::Entries().back().Format() + "\n");
    EXPECT_EQ(written.find("lasterror"), std::string::npos) << "only API errors name one";

    // The system log gets the same line, at a level that follows the severity.
    vqtest::seams::CaptureSystemLog();
    XVQLogBook::SetSink(XVQLogBook::Sink::Syslog);
    XVQError::WriteLineToErrorLogBook(At(277), L"to the system log", L"");
    XVQError::WriteErrorToLogBook(At(277), static_cast<long>(E_FAIL), VQ_SEVERITY_CRITICAL, L"critical",
                                  false, 0);
    const auto lines = vqtest::seams::TakeSystemLog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, vqplatform::LogLevel::Notice);
    EXPECT_EQ(lines[0].text, XVQLogBook::Entries()[XVQLogBook::kMaxEntries - 2].Format());
    EXPECT_EQ(lines[1].level, vqplatform::LogLevel::Critical);
    EXPECT_EQ(lines[1].text, XVQLogBook::Entries().back().Format());
}

TEST_F(XVQLogBookTest, ConcurrentWritersLoseNoEntryAndKeepEachThreadsOrder) {
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                XVQError::WriteLineToErrorLogBook(At(277), std::to_wstring(t).c_str(),
                                                  std::to_wstring(i).c_str());
                (void)XVQLogBook::Entries().size();
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
    EXPECT_EQ(next, (std::map<std::wstring, int>{{L"0", 200}, {L"1", 200}, {L"2", 200}, {L"3", 200}}));
}

}  // namespace

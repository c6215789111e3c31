#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "components/test_error_support.h"
#include "errorreporting/VQErrorReporting.h"

namespace {

using namespace XVQEXCEP;
using vqtest::ExcepFields;
using Kind = XVQLogEntry::Kind;

class ErrorReportingTest : public vqtest::LogBookTest {};

TEST_F(ErrorReportingTest, ThrowFunctionsFormTheHResultAndPassOneMoreCount) {
    VQ_FUNCTION_NAME("XEmergencyHandlerInstance::Init");
    const VQErrorLocation at = VQ_LOCATION(".\\xemergencyhandlerinstance", 277);

    // Last error 0 is still a failure; an HRESULT stays; others get facility 7 and the failure bit.
    const std::pair<DWORD, HRESULT> lastErrors[] = {
        {0, static_cast<HRESULT>(0x80004005)},
        {RPC_S_SERVER_UNAVAILABLE, static_cast<HRESULT>(0x800706BA)},
        {static_cast<DWORD>(RPC_E_DISCONNECTED), RPC_E_DISCONNECTED},
        {0x12345678, static_cast<HRESULT>(0x80075678)}};
    for (const auto& [lastError, hr] : lastErrors) {
        SetLastError(lastError);
        EXPECT_EQ(Fields(Caught(
                      [&] { ThrowExcepAtLastError(VQ_TYPE_MODULE, VQ_SEVERITY_ERROR, at, L"m", L"", 1); })),
                  ExcepFields(2, hr, 6, L"m", 2, 277));
    }
    for (const HRESULT success : {S_OK, S_FALSE, static_cast<HRESULT>(0x7FFFFFFF)}) {
        EXPECT_NO_THROW(ThrowExcepIfFailed(VQ_TYPE_MODULE, success, VQ_SEVERITY_SEVERE, at, L"m", L"", 1));
        EXPECT_NO_THROW(ThrowHRExcepIfFailed(at, success, L"m", L""));
        EXPECT_TRUE(
            CreateExcepIfFailed(VQ_TYPE_MODULE, success, VQ_SEVERITY_SEVERE, at, L"m", L"", 1).IsEmpty());
    }
    EXPECT_EQ(Fields(Caught([&] {
                  ThrowExcepIfFailed(VQ_TYPE_CRITICAL_DATA, E_POINTER, VQ_SEVERITY_WARNING, at, L"m", L"", 1);
              })),
              ExcepFields(8, E_POINTER, 3, L"m", 2, 277));
    EXPECT_EQ(Fields(CreateExcepIfFailed(VQ_TYPE_MODULE, E_FAIL, VQ_SEVERITY_WARNING, at, L"m", L"", 1)),
              ExcepFields(2, E_FAIL, 3, L"m", 2, 277));
    // An HRESULT thrower takes the severity of the HRESULT.
    for (const auto& row : {std::pair<HRESULT, int>{static_cast<HRESULT>(0x800706BA), 6},
                            {static_cast<HRESULT>(0x8007000E), 11}}) {
        EXPECT_EQ(Fields(Caught([&] { ThrowHRExcepIfFailed(at, row.first, L"m", L""); })),
                  ExcepFields(2, row.first, row.second, L"m", 2, 277));
    }
    const XWrappedVQException null = Caught([&] { XVQError::CheckPtr_ThrowExcep(at, nullptr, L""); });
    EXPECT_EQ(Fields(null), ExcepFields(2, static_cast<HRESULT>(0x80004003), 8, L"null pointer", 1, 277));
    EXPECT_EQ(null->SubCode(), -1);
    EXPECT_TRUE(XVQLogBook::Entries().empty()) << "throwing reports nothing by itself";
}

TEST_F(ErrorReportingTest, LaddersRouteEachTypeToItsWriterOrCollector) {
    const char* const file = ".\\xemergencyhandlerinstance";
    const wchar_t* const function = L"XEmergencyHandlerInstance::AddHandler";
    const VQErrorLocation raisedAt("inner", 9, L"S", L"F");
    CMemoryException mfc;  // the catcher's: no ladder may delete it
    // What each ladder makes of it: the full one an entry of kind `full` at its line 414; the short one
    // an entry of kind `logged` at `loggedAt` (212 std, 216 other); the collecting one an exception of
    // type `collected` at `collectedAt` (835 std, 839 other). A wrapped exception keeps its own place.
    struct Row {
        std::function<void()> raise;
        Kind full;
        Kind logged;
        unsigned loggedAt;
        int collected;
        unsigned collectedAt;
    };
    const Row rows[] = {
        {[] { throw _com_error(E_ACCESSDENIED); }, Kind::ComError, Kind::Unknown, 216, 5, 839},
        {[&] {
             XVQExceptionFactory::DoThrowException(VQ_TYPE_MODULE, raisedAt, E_POINTER, VQ_SEVERITY_WARNING,
                                                   -1, L"", L"", 2);
         },
         Kind::Exception, Kind::Exception, 9, 2, 9},
        {[] { throw std::runtime_error("boom"); }, Kind::StdException, Kind::StdException, 212, 3, 835},
        {[] { ATL::AtlThrow(E_UNEXPECTED); }, Kind::AtlException, Kind::Unknown, 216, 5, 839},
        {[&] { throw static_cast<CException*>(&mfc); }, Kind::MfcException, Kind::Unknown, 216, 5, 839},
        {[] { throw 42; }, Kind::Unknown, Kind::Unknown, 216, 5, 839},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);
        const bool own = r.full == Kind::Exception;
        const int severity = own ? 3 : 8;
        vqerr::FullLoggingLadder(file, 414, function, r.raise);
        XVQLogEntry e = TakeOnly();
        EXPECT_EQ(std::tie(e.kind, e.severity), std::make_tuple(r.full, severity));
        EXPECT_EQ(PlaceOf(e), ModulePlace(file, 414, function));

        EXPECT_FALSE(vqerr::ShortLoggingLadder(file, 212, 216, function, r.raise));
        e = TakeOnly();
        EXPECT_EQ(std::tie(e.kind, e.severity), std::make_tuple(r.logged, severity));
        EXPECT_EQ(PlaceOf(e), own ? PlaceOf(raisedAt) : ModulePlace(file, r.loggedAt, function));

        XWrappedVQException c;
        EXPECT_FALSE(vqerr::CollectingLadder(file, 835, 839, function, r.raise,
                                             [&](const XWrappedVQException& caught) { c = caught; }));
        ASSERT_FALSE(c.IsEmpty());
        EXPECT_EQ(std::make_tuple(int{c->Type()}, int{c->Severity()}),
                  std::make_tuple(r.collected, severity));
        EXPECT_EQ(PlaceOf(c->Location()),
                  own ? PlaceOf(raisedAt) : ModulePlace(file, r.collectedAt, function));
        EXPECT_TRUE(XVQLogBook::Entries().empty()) << "collecting logs nothing";
    }
    vqerr::FullLoggingLadder(file, 1, function, [] {});
    EXPECT_TRUE(vqerr::ShortLoggingLadder(file, 1, 2, function, [] {}));
    EXPECT_TRUE(vqerr::CollectingLadder(
        file, 1, 2, function, [] {}, [](const XWrappedVQException&) { FAIL(); }));
    EXPECT_TRUE(XVQLogBook::Entries().empty()) << "a body that succeeds reports nothing";
}

}  // namespace

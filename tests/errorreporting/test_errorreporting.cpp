#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "errorreporting/VQErrorReporting.h"

namespace {

class ErrorReportingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
    }
    void TearDown() override { XVQLogBook::Clear(); }
};

XWrappedVQException Catch(const std::function<void()>& body) {
    try {
        body();
    } catch (XWrappedVQException& e) {
        return e;
    }
    return {};
}

TEST_F(ErrorReportingTest, ModuleNameAndFunctionStaticFormTheLocation) {
    VQ_FUNCTION_NAME("XEmergencyHandlerInstance::Init");
    const VQErrorLocation location = VQ_LOCATION(".\\xemergencyhandlerinstance", 277);
    EXPECT_EQ(std::wstring(VQModuleName()), L"VQProcessStateHandler");
    EXPECT_EQ(location.File(), ".\\xemergencyhandlerinstance");
    EXPECT_EQ(location.Line(), 277u);
    EXPECT_EQ(std::wstring(location.Subsystem()), L"VQProcessStateHandler");
    EXPECT_EQ(std::wstring(location.Function()), L"XEmergencyHandlerInstance::Init");
}

struct LastErrorCase {
    DWORD lastError;
    HRESULT expected;
};

TEST_F(ErrorReportingTest, ThrowAtLastErrorFormsTheHResultAndCountsOneMore) {
    VQ_FUNCTION_NAME(L"Test::LastError");
    const LastErrorCase cases[] = {
        {0, E_FAIL},
        {RPC_S_SERVER_UNAVAILABLE, static_cast<HRESULT>(0x800706BA)},
        {ERROR_BUFFER_OVERFLOW, static_cast<HRESULT>(0x8007006F)},
        {0x80070057, E_INVALIDARG},
        {0x12345678, static_cast<HRESULT>(0x80075678)},
    };
    for (const LastErrorCase& c : cases) {
        SetLastError(c.lastError);
        const XWrappedVQException e = Catch([&] {
            ThrowExcepAtLastError(XVQEXCEP::TYPE_MODULE, XVQEXCEP::SEVERITY_ERROR, VQ_LOCATION("f", 277),
                                  L"GetComputerName failed", L"", 1);
        });
        ASSERT_FALSE(e.IsEmpty()) << c.lastError;
        EXPECT_EQ(e->HResult(), c.expected) << c.lastError;
        EXPECT_EQ(e->Count(), 2u);
        EXPECT_EQ(e->Type(), XVQEXCEP::TYPE_MODULE);
        EXPECT_EQ(e->Severity(), XVQEXCEP::SEVERITY_ERROR);
        EXPECT_EQ(std::wstring(e->Message()), L"GetComputerName failed");
        EXPECT_EQ(e->Location().Line(), 277u);
    }
}

TEST_F(ErrorReportingTest, ThrowIfFailedThrowsOnlyForNegativeResults) {
    VQ_FUNCTION_NAME(L"Test::IfFailed");
    for (HRESULT hr : {S_OK, S_FALSE, static_cast<HRESULT>(0x7FFFFFFF)}) {
        EXPECT_NO_THROW(ThrowExcepIfFailed(XVQEXCEP::TYPE_MODULE, hr, XVQEXCEP::SEVERITY_SEVERE,
                                           VQ_LOCATION("f", 1), L"m", L"", 1));
        EXPECT_TRUE(CreateExcepIfFailed(XVQEXCEP::TYPE_MODULE, hr, XVQEXCEP::SEVERITY_WARNING,
                                        VQ_LOCATION("f", 1), L"m", L"", 1)
                        .IsEmpty());
    }
    const XWrappedVQException thrown = Catch([&] {
        ThrowExcepIfFailed(XVQEXCEP::TYPE_MODULE, E_POINTER, XVQEXCEP::SEVERITY_WARNING,
                           VQ_LOCATION("f", 380), L"RegisterInterfaceInGlobal IVQServerEmergencyAgent failed",
                           L"", 1);
    });
    ASSERT_FALSE(thrown.IsEmpty());
    EXPECT_EQ(thrown->HResult(), E_POINTER);
    EXPECT_EQ(thrown->Severity(), XVQEXCEP::SEVERITY_WARNING);
    EXPECT_EQ(thrown->Count(), 2u);

    const XWrappedVQException made =
        CreateExcepIfFailed(XVQEXCEP::TYPE_MODULE, E_FAIL, XVQEXCEP::SEVERITY_WARNING, VQ_LOCATION("f", 725),
                            L"no server EmergencyConfiguration", L"", 1);
    ASSERT_FALSE(made.IsEmpty());
    EXPECT_EQ(made->Location().Line(), 725u);
    EXPECT_EQ(made->Count(), 2u);
    EXPECT_TRUE(XVQLogBook::Entries().empty()) << "making and throwing report nothing by themselves";
}

TEST_F(ErrorReportingTest, ThrowHRUsesTheSeverityOfTheHResult) {
    VQ_FUNCTION_NAME(L"Test::HR");
    EXPECT_NO_THROW(ThrowHRExcepIfFailed(VQ_LOCATION("f", 612), S_FALSE, L"", L""));
    for (HRESULT hr : {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), E_OUTOFMEMORY, E_INVALIDARG}) {
        const XWrappedVQException e =
            Catch([&] { ThrowHRExcepIfFailed(VQ_LOCATION("f", 612), hr, L"", L""); });
        ASSERT_FALSE(e.IsEmpty());
        EXPECT_EQ(e->HResult(), hr);
        EXPECT_EQ(e->Severity(), XHRErrorcodeHandler::GetErrorSeverity(hr));
        EXPECT_EQ(e->Type(), XVQEXCEP::TYPE_MODULE);
        EXPECT_EQ(e->Location().Line(), 612u);
    }
}

// One thrower per exception type the ladders know.
struct Thrown {
    const char* name;
    std::function<void()> raise;
    XVQLogEntry::Kind fullKind;  // what the full ladder writes
};

std::vector<Thrown> AllThrown() {
    static CMemoryException* const s_mfc =
        new CMemoryException();  // owned by the test: ladders never delete it
    return {
        {"com", [] { throw _com_error(E_ACCESSDENIED); }, XVQLogEntry::Kind::ComError},
        {"wrapped",
         [] {
             XVQExceptionFactory::DoThrowException(XVQEXCEP::TYPE_MODULE,
                                                   VQErrorLocation("inner", 9, L"S", L"F"), E_POINTER,
                                                   XVQEXCEP::SEVERITY_WARNING, -1, L"inner", L"", 2);
         },
         XVQLogEntry::Kind::Exception},
        {"std", [] { throw std::runtime_error("boom"); }, XVQLogEntry::Kind::StdException},
        {"atl", [] { ATL::AtlThrow(E_UNEXPECTED); }, XVQLogEntry::Kind::AtlException},
        {"mfc", [] { throw static_cast<CException*>(s_mfc); }, XVQLogEntry::Kind::MfcException},
        {"other", [] { throw 42; }, XVQLogEntry::Kind::Unknown},
    };
}

TEST_F(ErrorReportingTest, FullLadderRoutesEveryTypeToItsWriterWithOneLine) {
    const XVQComBSTR function(L"XEmergencyHandlerInstance::AddHandler");
    for (const Thrown& t : AllThrown()) {
        XVQLogBook::Clear();
        bool after = false;
        vqerr::FullLoggingLadder(".\\xemergencyhandlerinstance", 414, function, t.raise);
        after = true;
        const auto entries = XVQLogBook::Entries();
        ASSERT_EQ(entries.size(), 1u) << t.name;
        EXPECT_TRUE(after);
        EXPECT_EQ(entries[0].kind, t.fullKind) << t.name;
        EXPECT_EQ(entries[0].file, ".\\xemergencyhandlerinstance") << t.name;
        EXPECT_EQ(entries[0].line, 414u) << t.name;
        EXPECT_EQ(entries[0].function, L"XEmergencyHandlerInstance::AddHandler") << t.name;
        EXPECT_EQ(entries[0].subsystem, L"VQProcessStateHandler") << t.name;
    }
    vqerr::FullLoggingLadder("f", 1, function, [] {});
    EXPECT_EQ(XVQLogBook::Entries().size(), 1u) << "a body that succeeds reports nothing";
}

TEST_F(ErrorReportingTest, ShortLadderWritesWrappedWithTheirOwnLocationAndOthersWithTheirLines) {
    const XVQComBSTR function(L"XEmergencyHandlerThreadScheduler::RunThreadTask");
    struct Expect {
        const char* name;
        std::function<void()> raise;
        XVQLogEntry::Kind kind;
        unsigned line;
        int severity;
    };
    const std::vector<Thrown> all = AllThrown();
    const Expect cases[] = {
        {"wrapped", all[1].raise, XVQLogEntry::Kind::Exception, 9, XVQEXCEP::SEVERITY_WARNING},
        {"std", all[2].raise, XVQLogEntry::Kind::StdException, 212, XVQEXCEP::SEVERITY_SEVERE},
        {"other", all[5].raise, XVQLogEntry::Kind::Unknown, 216, -1},
        {"com", all[0].raise, XVQLogEntry::Kind::Unknown, 216, -1},
    };
    for (const Expect& c : cases) {
        XVQLogBook::Clear();
        EXPECT_FALSE(vqerr::ShortLoggingLadder(".\\xemergencyhandlerinstance", 212, 216, function, c.raise));
        const auto entries = XVQLogBook::Entries();
        ASSERT_EQ(entries.size(), 1u) << c.name;
        EXPECT_EQ(entries[0].kind, c.kind) << c.name;
        EXPECT_EQ(entries[0].line, c.line) << c.name;
        if (c.severity >= 0) {
            EXPECT_EQ(entries[0].severity, c.severity) << c.name;
        }
    }
    EXPECT_TRUE(vqerr::ShortLoggingLadder("f", 1, 2, function, [] {}));
}

TEST_F(ErrorReportingTest, CollectingLadderHandsEveryErrorToTheCollectorAndLogsNothing) {
    const XVQComBSTR function(L"XEmergencyHandlerInstance::DispatchAgentError");
    const std::vector<Thrown> all = AllThrown();
    struct Expect {
        std::function<void()> raise;
        XVQEXCEP::EXCEPTION_TYPE type;
        unsigned line;
    };
    const Expect cases[] = {
        {all[1].raise, XVQEXCEP::TYPE_MODULE, 9},
        {all[2].raise, XVQEXCEP::TYPE_STD, 835},
        {all[5].raise, XVQEXCEP::TYPE_UNKNOWN, 839},
    };
    for (const Expect& c : cases) {
        std::vector<XWrappedVQException> collected;
        EXPECT_FALSE(vqerr::CollectingLadder(".\\xemergencyhandlerinstance", 835, 839, function, c.raise,
                                             [&](const XWrappedVQException& e) { collected.push_back(e); }));
        ASSERT_EQ(collected.size(), 1u);
        ASSERT_FALSE(collected[0].IsEmpty());
        EXPECT_EQ(collected[0]->Type(), c.type);
        EXPECT_EQ(collected[0]->Location().Line(), c.line);
        if (c.type != XVQEXCEP::TYPE_MODULE) {
            EXPECT_EQ(std::wstring(collected[0]->Location().Function()),
                      L"XEmergencyHandlerInstance::DispatchAgentError");
        }
    }
    int calls = 0;
    EXPECT_TRUE(vqerr::CollectingLadder(
        "f", 1, 2, function, [] {}, [&](const XWrappedVQException&) { ++calls; }));
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

}  // namespace

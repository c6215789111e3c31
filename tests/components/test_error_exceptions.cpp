#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "test_error_support.h"

namespace {

using vqtest::CatchLocation;
using vqtest::ThrowLocation;
using namespace XVQEXCEP;

class ExceptionTest : public vqtest::ErrorComponentTest {};

void ExpectException(const XWrappedVQException& error, EXCEPTION_TYPE type, HRESULT hr,
                     ERROR_SEVERITY severity, const wchar_t* message, const wchar_t* text, unsigned count) {
    ASSERT_FALSE(error.IsEmpty());
    EXPECT_EQ(error->Type(), type);
    EXPECT_EQ(error->HResult(), hr);
    EXPECT_EQ(error->Severity(), severity);
    EXPECT_EQ(error->Message().ToWString(), message);
    EXPECT_EQ(error->AdditionalText().ToWString(), text);
    EXPECT_EQ(error->Count(), count);
}

TEST_F(ExceptionTest, MakersBuildWithoutReporting) {
    std::runtime_error std(
        "GIT lookup \xC3\xA9"
        "chou\xC3\xA9");
    ExpectException(XVQError::CreateExcep(std, CatchLocation(), SEVERITY_SEVERE, L""), TYPE_STD, E_FAIL,
                    SEVERITY_SEVERE, L"GIT lookup \u00E9chou\u00E9", L"", 1);
    ExpectException(XVQError::CreateUnknownExcep(CatchLocation(), L"t"), TYPE_UNKNOWN, E_FAIL,
                    SEVERITY_SEVERE, L"unknown exception", L"t", 1);
    const HRESULT unavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    ExpectException(XVQError::CreateSystemExcepAtError(CatchLocation(), unavailable,
                                                       L"ptrSrvAgent->GetServerEmergencyState failed", L""),
                    TYPE_SYSTEM, unavailable, SEVERITY_ERROR, L"ptrSrvAgent->GetServerEmergencyState failed",
                    L"", 1);
    ExpectException(
        XVQExceptionFactory::CreateSystemException(TYPE_CRITICAL_DATA, CatchLocation(), L"m", nullptr),
        TYPE_CRITICAL_DATA, E_FAIL, SEVERITY_SEVERE, L"m", L"", 1);

    const XWrappedVQException made = XVQExceptionFactory::DoCreateException(
        TYPE_MODULE, ThrowLocation(), E_POINTER, SEVERITY_CRITICAL, -1, L"msg", L"txt", 3);
    ExpectException(made, TYPE_MODULE, E_POINTER, SEVERITY_CRITICAL, L"msg", L"txt", 3);
    EXPECT_EQ(made->SubCode(), -1);
    EXPECT_EQ(made->Location().File(), ".\\xthreadsync");
    EXPECT_EQ(made->Location().Line(), 58u);
    EXPECT_EQ(made->Location().Function(), XVQComBSTR(L"XThreadSync::WaitForEvent"));
    EXPECT_EQ(made->Location().Subsystem(), XVQComBSTR("VQProcessStateHandler"));

    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(ExceptionTest, ThrowersRaiseTheWrapperByValueWithoutReporting) {
    try {
        XVQExceptionFactory::DoThrowException(TYPE_MODULE, ThrowLocation(), E_ABORT, SEVERITY_ERROR, -1, L"a",
                                              L"b", 2);
    } catch (const XWrappedVQException& error) {
        ExpectException(error, TYPE_MODULE, E_ABORT, SEVERITY_ERROR, L"a", L"b", 2);
    }
    try {
        XVQError::DoThrowExcepAtError(TYPE_MODULE, ThrowLocation(), E_ACCESSDENIED, SEVERITY_SEVERE, -1, L"",
                                      L"", 2);
        ADD_FAILURE() << "must raise";
    } catch (const XWrappedVQException& error) {
        ExpectException(error, TYPE_MODULE, E_ACCESSDENIED, SEVERITY_SEVERE, L"", L"", 2);
    }

    int object = 0;
    EXPECT_NO_THROW(XVQError::CheckPtr_ThrowExcep(CatchLocation(), &object, L""));
    try {
        XVQError::CheckPtr_ThrowExcep(CatchLocation(), nullptr, L"pInstance");
        ADD_FAILURE() << "a null pointer must raise";
    } catch (const XWrappedVQException& error) {
        ExpectException(error, TYPE_MODULE, E_POINTER, SEVERITY_SEVERE, L"null pointer", L"pInstance", 1);
        EXPECT_EQ(error->Location().Line(), 277u);
    }
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST(XWrappedVQException, CopiesShareOneCountedObject) {
    const XWrappedVQException empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.Get(), nullptr);
    EXPECT_TRUE(XWrappedVQException(XRefCountPtr<XVQException>()).IsEmpty());

    XWrappedVQException original = XVQError::CreateUnknownExcep(CatchLocation(), L"");
    XVQException* object = original.Get();
    EXPECT_EQ(object->RefCount(), 1);
    {
        const XWrappedVQException copy(original);  // NOLINT(performance-unnecessary-copy-initialization)
        XWrappedVQException assigned;
        static_cast<XVQExceptionWrapper&>(assigned) = original;
        EXPECT_EQ(copy.Get(), object);
        EXPECT_EQ(assigned.Get(), object);
        EXPECT_EQ(object->RefCount(), 3);
    }
    EXPECT_EQ(object->RefCount(), 1);
    original = XWrappedVQException();
    EXPECT_TRUE(original.IsEmpty());
}

TEST(XHRErrorcodeHandler, RanksFailuresBySeverity) {
    const std::pair<HRESULT, ERROR_SEVERITY> cases[] = {
        {S_OK, SEVERITY_NONE},
        {S_FALSE, SEVERITY_NONE},
        {E_OUTOFMEMORY, SEVERITY_CRITICAL},
        {RPC_E_DISCONNECTED, SEVERITY_ERROR},
        {RPC_E_SERVERFAULT, SEVERITY_ERROR},
        {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), SEVERITY_ERROR},
        {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), SEVERITY_ERROR},
        {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE), SEVERITY_ERROR},
        {E_FAIL, SEVERITY_SEVERE},
        {E_INVALIDARG, SEVERITY_SEVERE},
        {E_ACCESSDENIED, SEVERITY_SEVERE},
    };
    for (const auto& [hr, severity] : cases) {
        EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(hr), severity) << std::hex << hr;
    }
}

TEST(XVQExcepRefLogger, KeepsTheMostRecentHundred) {
    XVQExcepRefLogger logger(100);
    EXPECT_EQ(logger.Add(XWrappedVQException()), 0);
    int kept = 0;
    for (unsigned i = 1; i <= 101; ++i) {
        kept = logger.Add(XVQExceptionFactory::DoCreateException(TYPE_MODULE, CatchLocation(), E_FAIL,
                                                                 SEVERITY_WARNING, -1, L"", L"", i));
    }
    EXPECT_EQ(kept, 100);
    EXPECT_EQ(logger.Add(XWrappedVQException()), 100);
    EXPECT_EQ(logger.Count(), 100u);
    EXPECT_EQ(logger.Dropped(), 1u);
    const std::vector<XWrappedVQException> errors = logger.Errors();
    EXPECT_EQ(errors.front()->Count(), 2u);  // the first one went
    EXPECT_EQ(errors.back()->Count(), 101u);

    XVQExcepRefLogger copy(1);
    copy = logger;
    EXPECT_EQ(copy.Capacity(), 100);
    EXPECT_EQ(copy.Errors().back().Get(), errors.back().Get());
    logger.Clear();
    EXPECT_EQ(logger.Count(), 0u);
    EXPECT_EQ(copy.Count(), 100u);
}

}  // namespace

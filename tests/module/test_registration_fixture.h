// Shared fixture of the instance, registration and client-id tests: a fresh instance that is not
// the process-wide one (its worker start replaced by a counter), a memory-only log book, a present
// and empty failover registry, disarmed platform seams, and COM initialised on the test thread.
// Tear-down revokes what the test left registered and releases the instance's table.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "VQError/VQError.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"
#include "vqplatform/testing.h"
#include "xemergencyhandlerinstance.h"

namespace vqtest {

using FailoverRegistry = XVQErrorStateHandler::XClientEmergencyFailoverHandler;
using FailoverCall = FailoverRegistry::Call;
using FailoverCallKind = FailoverRegistry::CallKind;

inline FailoverRegistry& Failover() {
    return XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler();
}

// What an error of this unit must carry.
struct ExpectedError {
    unsigned line;
    HRESULT hr;
    int severity;
    const wchar_t* message;
    const wchar_t* function;
};

// Runs `body`, which must throw an XWrappedVQException, and checks it against `expected`.
template <class Body>
void ExpectModuleError(Body&& body, const ExpectedError& expected) {
    try {
        body();
        ADD_FAILURE() << "no exception, expected the error of line " << expected.line;
    } catch (const XWrappedVQException& error) {
        ASSERT_FALSE(error.IsEmpty());
        EXPECT_EQ(error->Type(), XVQEXCEP::TYPE_MODULE);
        EXPECT_EQ(error->Location().File(), ".\\xemergencyhandlerinstance");
        EXPECT_EQ(error->Location().Line(), expected.line);
        EXPECT_EQ(error->Location().Subsystem().ToWString(), L"VQProcessStateHandler");
        EXPECT_EQ(error->Location().Function().ToWString(), expected.function);
        EXPECT_EQ(error->HResult(), expected.hr);
        EXPECT_EQ(error->Severity(), expected.severity);
        EXPECT_EQ(error->Message().ToWString(), expected.message);
        EXPECT_TRUE(error->AdditionalText().IsEmpty());
    }
}

class InstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vqplatform::testing::ResetAll();
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
        XVQErrorStateHandler::SetInstanceAbsent(false);
        Failover().Reset();
        m_coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }

    void TearDown() override {
        for (const auto& entry : instance.ClientHandlers().Read()) {
            instance.RevokeFromGIT(entry.first);
        }
        instance.ReleaseGIT();
        vqplatform::testing::ResetAll();
        XVQErrorStateHandler::SetInstanceAbsent(false);
        Failover().Reset();
        XVQLogBook::Clear();
        if (SUCCEEDED(m_coInit)) {
            CoUninitialize();
        }
    }

    XEmergencyHandlerInstance::ClientHandlerMap Registry() { return instance.ClientHandlers().Read(); }

    std::vector<DWORD> Cookies() {
        std::vector<DWORD> cookies;
        for (const auto& entry : Registry()) {
            cookies.push_back(entry.first);
        }
        return cookies;
    }

    std::atomic<int> workerStarts{0};
    XEmergencyHandlerInstance instance{[this](XEmergencyHandlerInstance&) { ++workerStarts; }};
    Journal journal;
    RecordingHandler handlerA{journal, "A"};
    RecordingHandler handlerB{journal, "B"};

  private:
    HRESULT m_coInit = E_FAIL;
};

}  // namespace vqtest

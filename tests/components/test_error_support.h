// Shared fixture of the error-component tests: an empty, memory-only log book and a reset error
// state for every test, and the locations the reports name.
#pragma once

#include <gtest/gtest.h>

#include "VQError/VQError.h"

namespace vqtest {

inline VQErrorLocation CatchLocation() {
    return VQErrorLocation(".\\xemergencyhandlerinstance", 277, XVQComBSTR(L"VQProcessStateHandler"),
                           XVQComBSTR(L"XEmergencyHandlerInstance::Init"));
}

inline VQErrorLocation ThrowLocation() {
    return VQErrorLocation(".\\xthreadsync", 58, XVQComBSTR(L"VQProcessStateHandler"),
                           XVQComBSTR(L"XThreadSync::WaitForEvent"));
}

class ErrorComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
        XVQErrorStateHandler::SetInstanceAbsent(false);
        XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler().Reset();
    }
    void TearDown() override {
        XVQLogBook::Clear();
        XVQErrorStateHandler::SetInstanceAbsent(false);
    }
};

}  // namespace vqtest

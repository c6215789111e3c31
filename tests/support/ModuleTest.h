// The fixture of the module and end-to-end tests: a memory-only, empty log book, a present and
// empty failover registry with no calls recorded, disarmed platform seams and COM on the test
// thread, each restored after the test.
#pragma once

#include <gtest/gtest.h>

#include "VQError/VQError.h"
#include "seams/ErrorState.h"
#include "seams/PlatformSeams.h"
#include "vqplatform/platform.h"

namespace vqtest {

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProcessState();
        m_coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        if (SUCCEEDED(m_coInit)) {
            CoUninitialize();
        }
        ResetProcessState();
    }
    static void ResetProcessState() {
        seams::ResetAll();
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
        errorstate::Reset();
    }

  private:
    HRESULT m_coInit = E_FAIL;
};

}  // namespace vqtest

// CServiceModule::TranslateCException: a structured exception becomes a log-book report from
// ".\\stdafx" line 21 and an XWrappedVQException carrying the exception code, also when a real
// fault raises it on a thread that translates its faults, as the worker does.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "VQError/VQError.h"
#include "platform/test_seh_faults.h"
#include "stdafx.h"
#include "vqplatform/kernel.h"

namespace {

class ServiceModuleTranslation : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
    }
    void TearDown() override { XVQLogBook::Clear(); }

    // The one report the translation wrote, from the translator's own location.
    static XVQLogEntry TheReport() {
        const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
        EXPECT_EQ(entries.size(), 1u);
        if (entries.empty()) {
            return XVQLogEntry{};
        }
        const XVQLogEntry& report = entries.front();
        EXPECT_EQ(report.kind, XVQLogEntry::Kind::Structured);
        EXPECT_EQ(report.file, ".\\stdafx");
        EXPECT_EQ(report.line, 21u);
        EXPECT_EQ(report.subsystem, L"VQProcessStateHandler");
        EXPECT_EQ(report.function, L"CServiceModule::TranslateCException");
        return report;
    }
};

TEST_F(ServiceModuleTranslation, ReportsAndRaisesTheCodeAsHResult) {
    int faultingInstruction = 0;
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_INT_DIVIDE_BY_ZERO;
    record.ExceptionAddress = &faultingInstruction;
    EXCEPTION_POINTERS pointers{&record, nullptr};

    try {
        CServiceModule::TranslateCException(EXCEPTION_INT_DIVIDE_BY_ZERO, &pointers);
        ADD_FAILURE() << "the translator must raise";
    } catch (const XWrappedVQException& error) {
        ASSERT_FALSE(error.IsEmpty());
        EXPECT_EQ(static_cast<DWORD>(error->HResult()), EXCEPTION_INT_DIVIDE_BY_ZERO);
        const auto* structured = dynamic_cast<const XVQStructuredException*>(error.Get());
        ASSERT_NE(structured, nullptr);
        EXPECT_EQ(structured->Address(), &faultingInstruction);
        EXPECT_EQ(structured->Location().File(), ".\\stdafx");
        EXPECT_EQ(structured->Location().Line(), 21u);
    }
    EXPECT_EQ(static_cast<DWORD>(TheReport().hr), EXCEPTION_INT_DIVIDE_BY_ZERO);
}

int* volatile g_null = nullptr;

TEST_F(ServiceModuleTranslation, AFaultOnATranslatingThreadReachesItsCatchAsTheModulesException) {
    std::mutex lock;
    XWrappedVQException caught;
    DWORD faultingThread = 0;
    std::thread worker([&] {
        vqplatform::SetThreadTranslator(CServiceModule::TranslateCException);
        faultingThread = GetCurrentThreadId();
        try {
            vqtest::ReadUnderLock(lock, g_null);
        } catch (const XWrappedVQException& error) {
            caught = error;
        }
    });
    worker.join();

    ASSERT_FALSE(caught.IsEmpty()) << "the fault did not reach the thread's catch";
    EXPECT_EQ(static_cast<DWORD>(caught->HResult()), EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(caught->Type(), XVQEXCEP::TYPE_STRUCTURED);
    EXPECT_TRUE(lock.try_lock()) << "the guard in the faulting frame was not released";
    lock.unlock();
    const XVQLogEntry report = TheReport();
    EXPECT_EQ(static_cast<DWORD>(report.hr), EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(report.threadId, faultingThread);
}

}  // namespace

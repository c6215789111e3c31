// CServiceModule::TranslateCException: a structured exception becomes a log-book report from
// ".\\stdafx" line 21 and an XWrappedVQException carrying the exception code. Real faults on the
// worker's translating thread are in the task tests.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "VQError/VQError.h"
#include "stdafx.h"
#include "vqplatform/kernel.h"

namespace {

TEST(ServiceModuleTranslation, ReportsAndRaisesTheCodeAsHResult) {
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    XVQLogBook::Clear();
    int faultingInstruction = 0;
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_INT_DIVIDE_BY_ZERO;
    record.ExceptionAddress = &faultingInstruction;
    EXCEPTION_POINTERS pointers{&record, nullptr};

    try {
        CServiceModule::TranslateCException(EXCEPTION_INT_DIVIDE_BY_ZERO, &pointers);
        ADD_FAILURE() << "the translator must raise";
    } catch (const XWrappedVQException& error) {
        const auto* structured = dynamic_cast<const XVQStructuredException*>(error.Get());
        ASSERT_NE(structured, nullptr);
        EXPECT_EQ(static_cast<DWORD>(structured->HResult()), EXCEPTION_INT_DIVIDE_BY_ZERO);
        EXPECT_EQ(structured->Type(), XVQEXCEP::TYPE_STRUCTURED);
        EXPECT_EQ(structured->Address(), &faultingInstruction);
        EXPECT_EQ(std::make_tuple(structured->Location().File(), structured->Location().Line()),
                  std::make_tuple(std::string(".\\stdafx"), 21u));
    }
    const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 1u);
    const XVQLogEntry& report = entries.front();
    EXPECT_EQ(std::make_tuple(report.kind, report.file, report.line, report.subsystem, report.function,
                              static_cast<DWORD>(report.hr)),
              std::make_tuple(XVQLogEntry::Kind::Structured, std::string(".\\stdafx"), 21u,
                              std::wstring(L"VQProcessStateHandler"),
                              std::wstring(L"CServiceModule::TranslateCException"),
                              static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO)));
    XVQLogBook::Clear();
}

}  // namespace

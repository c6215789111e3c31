// Shared by the error-component, ladder and guarded-data tests: the module tests' fixture with
// compact views of what a report or an exception carries, so that one assertion compares all of it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "VQError/VQError.h"
#include "support/ModuleTest.h"

namespace vqtest {

// File, line, subsystem, function.
using Place = std::tuple<std::string, unsigned, std::wstring, std::wstring>;
// Type, HRESULT, severity, message, count and line of an exception; all zero for an empty one.
using ExcepFields = std::tuple<int, HRESULT, int, std::wstring, unsigned, unsigned>;

class LogBookTest : public ModuleTest {
  protected:
    static VQErrorLocation At(unsigned line) {
        return {".\\xemergencyhandlerinstance", line, L"VQProcessStateHandler",
                L"XEmergencyHandlerInstance::Init"};
    }
    static Place PlaceOf(const VQErrorLocation& l) {
        return {l.File(), l.Line(), l.Subsystem().ToWString(), l.Function().ToWString()};
    }
    static Place PlaceOf(const XVQLogEntry& e) { return {e.file, e.line, e.subsystem, e.function}; }
    static Place ModulePlace(const char* file, unsigned line, const wchar_t* function) {
        return {file, line, L"VQProcessStateHandler", function};
    }
    static ExcepFields Fields(const XWrappedVQException& e) {
        if (e.IsEmpty()) {
            return {};
        }
        return {e->Type(),  e->HResult(),        e->Severity(), e->Message().ToWString(),
                e->Count(), e->Location().Line()};
    }

    // The log book's only entry, which it gives up: the next report is again the only one.
    static XVQLogEntry TakeOnly() {
        const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
        XVQLogBook::Clear();
        EXPECT_EQ(entries.size(), 1u);
        return entries.size() == 1 ? entries[0] : XVQLogEntry();
    }

    // What `body` throws as an XWrappedVQException; empty when it throws nothing.
    template <class Body>
    static XWrappedVQException Caught(Body&& body) {
        try {
            body();
        } catch (const XWrappedVQException& e) {
            return e;
        }
        return {};
    }
};

}  // namespace vqtest

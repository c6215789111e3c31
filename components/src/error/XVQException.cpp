#include "VQError/XVQException.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "vqplatform/seh.h"

namespace {

struct StructuredName {
    DWORD code;
    const char* name;
};

constexpr StructuredName kStructuredNames[] = {
    {EXCEPTION_ACCESS_VIOLATION, "access violation"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "datatype misalignment"},
    {EXCEPTION_BREAKPOINT, "breakpoint"},
    {EXCEPTION_IN_PAGE_ERROR, "in-page error"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "illegal instruction"},
    {EXCEPTION_PRIV_INSTRUCTION, "privileged instruction"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, "floating-point division by zero"},
    {EXCEPTION_FLT_INVALID_OPERATION, "floating-point invalid operation"},
    {EXCEPTION_FLT_OVERFLOW, "floating-point overflow"},
    {EXCEPTION_FLT_UNDERFLOW, "floating-point underflow"},
    {EXCEPTION_FLT_INEXACT_RESULT, "floating-point inexact result"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "integer division by zero"},
    {EXCEPTION_INT_OVERFLOW, "integer overflow"},
    {EXCEPTION_STACK_OVERFLOW, "stack overflow"},
};

XVQComBSTR StructuredMessage(unsigned code) {
    for (const StructuredName& entry : kStructuredNames) {
        if (entry.code == code) {
            return XVQComBSTR(entry.name);
        }
    }
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "structured exception 0x%08X", code);
    return XVQComBSTR(buffer);
}

XVQComBSTR AddressText(const void* address) {
    if (address == nullptr) {
        return XVQComBSTR();
    }
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "address 0x%" PRIXPTR, reinterpret_cast<std::uintptr_t>(address));
    return XVQComBSTR(buffer);
}

}  // namespace

VQErrorLocation::VQErrorLocation(const char* file, unsigned line, const XVQComBSTR& subsystem,
                                 const XVQComBSTR& function)
    : m_file(file != nullptr ? file : ""), m_line(line), m_subsystem(subsystem), m_function(function) {}

XVQException::XVQException(XVQEXCEP::EXCEPTION_TYPE type, const VQErrorLocation& location, HRESULT hr,
                           XVQEXCEP::ERROR_SEVERITY severity, long subCode, const XVQComBSTR& message,
                           const XVQComBSTR& additionalText, unsigned count)
    : m_type(type),
      m_location(location),
      m_hr(hr),
      m_severity(severity),
      m_subCode(subCode),
      m_message(message),
      m_additionalText(additionalText),
      m_count(count) {}

XVQStructuredException::XVQStructuredException(const VQErrorLocation& location, unsigned code,
                                               const void* address)
    : XVQException(XVQEXCEP::VQ_TYPE_STRUCTURED, location, static_cast<HRESULT>(code),
                   XVQEXCEP::VQ_SEVERITY_CRITICAL, -1, StructuredMessage(code), AddressText(address), 1),
      m_address(address) {}

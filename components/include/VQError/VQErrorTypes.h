// Severities, exception types and the error location of the maker's error component.
#pragma once

#include <string>

#include "VQConvert/XVQComBSTR.h"
#include "VQError/VQErrorExport.h"

// winerror.h defines SEVERITY_ERROR (1, the HRESULT failure bit for MAKE_HRESULT), which would
// replace the severity of that name below. The component's name wins; code that needs the SDK
// value writes 1.
#if defined(_WIN32) && defined(SEVERITY_ERROR)
#undef SEVERITY_ERROR
#endif

namespace XVQEXCEP {

// Severities the module reports with. Their meaning is the component's: higher is worse.
enum ERROR_SEVERITY : int {
    SEVERITY_NONE = 0,
    SEVERITY_WARNING = 3,
    SEVERITY_ERROR = 6,
    SEVERITY_SEVERE = 8,
    SEVERITY_CRITICAL = 11,
};

enum EXCEPTION_TYPE : int {
    TYPE_SYSTEM = 1,      // made by the component itself (CreateSystemExcepAtError)
    TYPE_MODULE = 2,      // raised by the module's own throw functions
    TYPE_STD = 3,         // made from a caught std::exception
    TYPE_STRUCTURED = 4,  // a structured (hardware) exception
    TYPE_UNKNOWN = 5,     // made for an exception of unknown type
    TYPE_CRITICAL_DATA = 8,
};

}  // namespace XVQEXCEP

// Where a report comes from: source file, line, subsystem (module) name and function name.
class VQERROR_API VQErrorLocation {
  public:
    VQErrorLocation(const char* file, unsigned line, const XVQComBSTR& subsystem, const XVQComBSTR& function);

    const std::string& File() const noexcept { return m_file; }
    unsigned Line() const noexcept { return m_line; }
    const XVQComBSTR& Subsystem() const noexcept { return m_subsystem; }
    const XVQComBSTR& Function() const noexcept { return m_function; }

  private:
    std::string m_file;
    unsigned m_line;
    XVQComBSTR m_subsystem;
    XVQComBSTR m_function;
};

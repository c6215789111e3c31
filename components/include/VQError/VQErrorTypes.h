// Severities, exception types and the error location of the maker's error component.
#pragma once

#include <string>

#include "VQConvert/XVQComBSTR.h"
#include "VQError/VQErrorExport.h"

// Exported classes with members of standard-library types: see VQErrorExport.h on C4251.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

// The enumerators carry a VQ_ prefix because a namespace does not shield them from macros: the SDK's
// winerror.h defines SEVERITY_ERROR (1) and SEVERITY_SUCCESS (0) for MAKE_HRESULT.
namespace XVQEXCEP {

// Severities the module reports with. Their meaning is the component's: higher is worse.
enum ERROR_SEVERITY : int {
    VQ_SEVERITY_NONE = 0,
    VQ_SEVERITY_WARNING = 3,
    VQ_SEVERITY_ERROR = 6,
    VQ_SEVERITY_SEVERE = 8,
    VQ_SEVERITY_CRITICAL = 11,
};

enum EXCEPTION_TYPE : int {
    VQ_TYPE_SYSTEM = 1,      // made by the component itself (CreateSystemExcepAtError)
    VQ_TYPE_MODULE = 2,      // raised by the module's own throw functions
    VQ_TYPE_STD = 3,         // made from a caught std::exception
    VQ_TYPE_STRUCTURED = 4,  // a structured (hardware) exception
    VQ_TYPE_UNKNOWN = 5,     // made for an exception of unknown type
    VQ_TYPE_CRITICAL_DATA = 8,
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

#if defined(_MSC_VER)
#pragma warning(pop)
#endif

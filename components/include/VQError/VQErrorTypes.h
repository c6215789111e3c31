/// @file
/// Severities, exception types and the error location of the maker's error component.
#pragma once

#include <string>

#include "VQConvert/XVQComBSTR.h"
#include "VQError/VQErrorExport.h"

// Exported classes with members of standard-library types: see VQErrorExport.h on C4251.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

/// The error component's severities and exception types. The enumerators carry a VQ_ prefix because
/// a namespace does not shield them from macros: the SDK's winerror.h defines SEVERITY_ERROR (1) and
/// SEVERITY_SUCCESS (0) for MAKE_HRESULT.
namespace XVQEXCEP {

/// Severities the module reports with. Their meaning is the component's: higher is worse. The
/// system log receives an entry with the priority named for its severity band.
enum ERROR_SEVERITY : int {
    VQ_SEVERITY_NONE = 0,       ///< No error: plain lines and success codes (notice).
    VQ_SEVERITY_WARNING = 3,    ///< A failure that the operation lives with (notice).
    VQ_SEVERITY_ERROR = 6,      ///< A failure, such as a lost server or connection (warning).
    VQ_SEVERITY_SEVERE = 8,     ///< A failure of any other kind (error).
    VQ_SEVERITY_CRITICAL = 11,  ///< Out of memory, or the library's own machinery failed (critical).
};

/// Where an exception comes from.
enum EXCEPTION_TYPE : int {
    VQ_TYPE_SYSTEM = 1,         ///< Made by the component itself (CreateSystemExcepAtError).
    VQ_TYPE_MODULE = 2,         ///< Raised by the module's own throw functions.
    VQ_TYPE_STD = 3,            ///< Made from a caught std::exception.
    VQ_TYPE_STRUCTURED = 4,     ///< A structured (hardware) exception.
    VQ_TYPE_UNKNOWN = 5,        ///< Made for an exception of unknown type.
    VQ_TYPE_CRITICAL_DATA = 8,  ///< An error of the library's guarded data.
};

}  // namespace XVQEXCEP

/// Where a report comes from: source file, line, subsystem (module) name and function name.
class VQERROR_API VQErrorLocation {
  public:
    /// @param file The source file's name (narrow text; null is taken as empty).
    /// @param line The line in it.
    /// @param subsystem The reporting subsystem (module), "VQProcessStateHandler" for the library.
    /// @param function The reporting function's qualified name.
    VQErrorLocation(const char* file, unsigned line, const XVQComBSTR& subsystem, const XVQComBSTR& function);

    /// @return The source file's name.
    const std::string& File() const noexcept { return m_file; }
    /// @return The line.
    unsigned Line() const noexcept { return m_line; }
    /// @return The subsystem's name.
    const XVQComBSTR& Subsystem() const noexcept { return m_subsystem; }
    /// @return The function's name.
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

// The system log: where the error component's log book writes each line.
// Linux: syslog(3), ident "VQProcessStateHandler64", facility LOG_USER, with the process id.
// Windows: OutputDebugStringW (what a debugger or DebugView shows), one line per call; the level
// is not carried there.
#pragma once

#include "vqplatform/types.h"

namespace vqplatform {

enum class LogLevel { Notice, Warning, Error, Critical };

// Writes one UTF-8 line; never throws, and a line the system log cannot take is dropped.
VQPLATFORM_API void WriteSystemLog(LogLevel level, const char* utf8Line) noexcept;

}  // namespace vqplatform

// Internal to the platform layer: how its own calls read the test seams of vqplatform/testing.h.
// Every function is thread-safe; with no seam armed each costs one relaxed atomic load.
#pragma once

#include "vqplatform/systemlog.h"
#include "vqplatform/types.h"

namespace vqplatform::detail {

// The tick count to report for the real count `real`: the fixed one, or `real` itself.
DWORD ApplyClockSeam(DWORD real);

// True when the system-log seam is armed; the line has then been captured instead of written.
bool CaptureSystemLog(LogLevel level, const char* utf8Line) noexcept;

}  // namespace vqplatform::detail

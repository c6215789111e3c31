// Internal to the platform layer: how its own calls read the test seams of vqplatform/testing.h.
// Every function is thread-safe; with no seam armed each costs one relaxed atomic load.
#pragma once

#include <atomic>

#include "vqplatform/systemlog.h"
#include "vqplatform/types.h"

namespace vqplatform::detail {

// Whether any fault is armed (vqplatform/testing.h). Read inline where a call to ConsumeFault
// would be a noticeable part of the operation's cost: the critical-section enter and leave.
extern std::atomic<bool> g_anyFaultArmed;
inline bool AnyFaultArmed() noexcept {
    return g_anyFaultArmed.load(std::memory_order_relaxed);
}

// The tick count to report for the real count `real`: the fixed one, or `real` itself.
DWORD ApplyClockSeam(DWORD real);

// True when the system-log seam is armed; the line has then been captured instead of written.
bool CaptureSystemLog(LogLevel level, const char* utf8Line) noexcept;

}  // namespace vqplatform::detail

// Internal to the platform layer: how its own calls read the test seams of vqplatform/testing.h.
// Every function is thread-safe; with no seam armed each costs one relaxed atomic load.
#pragma once

#include <string>

#include "vqplatform/types.h"

namespace vqplatform::detail {

// The tick count to report for the real count `real`: fixed, offset (wrapping) or `real` itself.
DWORD ApplyClockSeam(DWORD real);

// True when the identity seam decides the computer name: then either `error` is non-zero (the call
// is to fail with it) or `name` holds the name to report.
bool ComputerNameSeam(std::wstring* name, DWORD* error);

}  // namespace vqplatform::detail

// Keeping a loaded module (a DLL, a shared object) mapped until the process ends.
//
// vqplatform::PinModuleOf(address) pins the module whose image holds `address` (any code or data of
// it): from then on no FreeLibrary or dlclose unloads it, however often the process calls them.
// Windows: GetModuleHandleExW with GET_MODULE_HANDLE_EX_FLAG_PIN. Linux: dlopen of the object's own
// path with RTLD_NOLOAD | RTLD_NODELETE, keeping the reference it returns; the main program, which is
// never unloaded, needs nothing. True when the module is pinned (again, when it was already), false
// when no loaded module holds `address`. Thread-safe; never throws.
#pragma once

#include "vqplatform/export.h"

namespace vqplatform {

VQPLATFORM_API bool PinModuleOf(const void* address) noexcept;

}  // namespace vqplatform

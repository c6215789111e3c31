#include "vqplatform/modules.h"

#include <windows.h>

namespace vqplatform {

bool PinModuleOf(const void* address) noexcept {
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              static_cast<LPCWSTR>(address), &module) != FALSE;
}

}  // namespace vqplatform

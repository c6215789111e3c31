#include "vqplatform/modules.h"

#include <dlfcn.h>
#include <link.h>

namespace vqplatform {

bool PinModuleOf(const void* address) noexcept {
    Dl_info info{};
    link_map* object = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0 ||
        object == nullptr) {
        return false;
    }
    // dladdr names the main program after argv[0], which dlopen does not find; its link map has no name.
    if (object->l_name == nullptr || object->l_name[0] == '\0') {
        return true;
    }
    // The reference is never released: the object is to stay for the life of the process.
    return dlopen(object->l_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

}  // namespace vqplatform

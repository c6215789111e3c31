// BSTR allocation and COM apartments on Linux. The Global Interface Table is in git.cpp.
#include "vqplatform/com.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>

namespace {

using Prefix = std::uint32_t;

Prefix* PrefixOf(BSTR bstr) {
    return reinterpret_cast<Prefix*>(bstr) - 1;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(psz, static_cast<UINT>(std::wcslen(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    // The byte length must fit the 4-byte prefix.
    if (cch > (std::numeric_limits<Prefix>::max() - sizeof(OLECHAR)) / sizeof(OLECHAR)) {
        return nullptr;
    }
    const std::size_t bytes = static_cast<std::size_t>(cch) * sizeof(OLECHAR);
    // malloc's alignment suits the prefix, and the characters right after it (4-byte OLECHAR).
    void* block = std::malloc(sizeof(Prefix) + bytes + sizeof(OLECHAR));
    if (block == nullptr) {
        return nullptr;
    }
    auto* prefix = static_cast<Prefix*>(block);
    *prefix = static_cast<Prefix>(bytes);
    auto* chars = reinterpret_cast<OLECHAR*>(prefix + 1);
    // Windows leaves the characters of a null source undefined; zero is the kinder undefined.
    if (pch != nullptr) {
        std::memcpy(chars, pch, bytes);
    } else {
        std::memset(chars, 0, bytes);
    }
    chars[cch] = L'\0';
    return chars;
}

void SysFreeString(BSTR bstr) {
    if (bstr != nullptr) {
        std::free(PrefixOf(bstr));
    }
}

UINT SysStringByteLen(BSTR bstr) {
    return bstr == nullptr ? 0 : *PrefixOf(bstr);
}

UINT SysStringLen(BSTR bstr) {
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

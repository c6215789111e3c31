// BSTR allocation and COM apartments on Linux. CoCreateInstance and the Global Interface Table are
// in git.cpp.
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

// The calling thread's apartment: how many successful CoInitializeEx calls await their
// CoUninitialize, and the model the first of them chose.
struct Apartment {
    unsigned initCount = 0;
    DWORD model = COINIT_MULTITHREADED;
};

thread_local Apartment t_apartment;

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

UINT SysStringLen(BSTR bstr) {
    return bstr == nullptr ? 0 : *PrefixOf(bstr) / sizeof(OLECHAR);
}

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    // Only the threading model counts; the other flags (OLE1 DDE, speed over memory) change nothing.
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    Apartment& apartment = t_apartment;
    if (apartment.initCount == 0) {
        apartment.model = model;
        apartment.initCount = 1;
        return S_OK;
    }
    if (apartment.model != model) {
        return RPC_E_CHANGED_MODE;
    }
    ++apartment.initCount;
    return S_FALSE;
}

void CoUninitialize() {
    Apartment& apartment = t_apartment;
    if (apartment.initCount != 0) {
        --apartment.initCount;
    }
}

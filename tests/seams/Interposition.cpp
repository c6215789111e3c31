#include "seams/Interposition.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>

#include <tlhelp32.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>
#else
#include <dlfcn.h>
#endif

namespace vqtest::interposition {
namespace {

[[noreturn]] void Missing(const char* symbol) {
    std::fprintf(stderr, "interposition: no library defines %s\n", symbol);
    std::abort();
}

#if defined(_WIN32)

// The program and the DLLs loaded from its folder: ours, never Wine's or the system's.
std::vector<HMODULE> OurModules() {
    std::vector<HMODULE> modules;
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    const wchar_t* slash = std::wcsrchr(program, L'\\');
    if (length == 0 || length == MAX_PATH || slash == nullptr) {
        return modules;
    }
    const std::wstring folder(program, static_cast<std::size_t>(slash - program + 1));
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return modules;
    }
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry)) {
        const std::wstring path(entry.szExePath);
        if (path.size() > folder.size() && _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0 &&
            path.find(L'\\', folder.size()) == std::wstring::npos) {
            modules.push_back(entry.hModule);
        }
    }
    CloseHandle(snapshot);
    return modules;
}

// The import slots of `module` that import `symbol` by name.
std::vector<ULONG_PTR*> ImportSlots(HMODULE module, const char* symbol) {
    std::vector<ULONG_PTR*> slots;
    auto* const base = reinterpret_cast<BYTE*>(module);
    const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* const nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return slots;
    }
    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        if (library->OriginalFirstThunk == 0) {
            continue;  // no name table: nothing to match by name
        }
        auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), symbol) == 0) {
                slots.push_back(&slot->u1.Function);
            }
        }
    }
    return slots;
}

#endif

}  // namespace

#if defined(_WIN32)

void Replaced::Install(void* replacement) {
    std::vector<ULONG_PTR*> slots;
    for (const HMODULE module : OurModules()) {
        const std::vector<ULONG_PTR*> found = ImportSlots(module, m_symbol);
        slots.insert(slots.end(), found.begin(), found.end());
    }
    const auto target = reinterpret_cast<ULONG_PTR>(replacement);
    // The real function is known before the first slot leads to the replacement.
    for (ULONG_PTR* slot : slots) {
        if (*slot != target && m_real.load() == nullptr) {
            m_real.store(reinterpret_cast<void*>(*slot));
        }
    }
    for (ULONG_PTR* slot : slots) {
        DWORD protection = 0;
        if (VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection) == FALSE) {
            std::fprintf(stderr, "interposition: cannot write the import of %s\n", m_symbol);
            std::abort();
        }
        InterlockedExchangePointer(reinterpret_cast<void**>(slot), replacement);
        VirtualProtect(slot, sizeof *slot, protection, &protection);
    }
}

void* Replaced::RealAddress() {
    void* real = m_real.load(std::memory_order_acquire);
    if (real != nullptr) {
        return real;
    }
    // Nothing here imports the symbol; the program calls the real one directly.
    for (const HMODULE module : OurModules()) {
        real = reinterpret_cast<void*>(GetProcAddress(module, m_symbol));
        if (real != nullptr) {
            m_real.store(real, std::memory_order_release);
            return real;
        }
    }
    Missing(m_symbol);
}

#else

void Replaced::Install(void* /*replacement*/) {}

void* Replaced::RealAddress() {
    void* real = m_real.load(std::memory_order_acquire);
    if (real == nullptr) {
        real = dlsym(RTLD_NEXT, m_symbol);
        if (real == nullptr) {
            Missing(m_symbol);
        }
        m_real.store(real, std::memory_order_release);
    }
    return real;
}

#endif

}  // namespace vqtest::interposition

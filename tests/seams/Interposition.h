// Replacing a function that one of the libraries exports, for a whole test program, with nothing
// in the library itself.
//
// Linux: the program defines the exported symbol itself. The dynamic linker searches the program
// before any library, so every call of the symbol lands in the program's replacement, calls between
// the libraries included; the replacement reaches the library's own definition through
// dlsym(RTLD_NEXT). VQ_REPLACES gives a replacement the symbol's name (an asm label: C++ names are
// given mangled, since several replace member functions).
// Windows: a program cannot define a name that a DLL exports, so the replacement is written into the
// import tables instead: every import of the symbol by the program and by the DLLs in its folder
// is pointed at it, and the replacement calls what the import held before.
//
// On Windows the threading runtime, linked into every module, makes some of the replaced calls
// itself (waits, events, thread creation) from inside its own locking: their replacements take no
// lock and no thread-local storage, which would re-enter it.
//
// A replacement of a member function is a free function with the object as its first parameter:
// on x86-64 (System V and Windows alike) a member function receives `this` as the first argument,
// so the two agree at the machine level, which is all that calls through a symbol see.
#pragma once

#include <atomic>

#if defined(_WIN32)
#define VQ_REPLACES(linuxSymbol)
#define VQ_SYMBOL(linuxSymbol, windowsSymbol) windowsSymbol
#else
#define VQ_REPLACES(linuxSymbol) __asm__(linuxSymbol) __attribute__((visibility("default")))
#define VQ_SYMBOL(linuxSymbol, windowsSymbol) linuxSymbol
#endif

namespace vqtest::interposition {

// One replaced symbol. Constant-initialised, so a replacement may run before static initialisation
// (a library's own static constructors call through the symbol too).
class Replaced {
  public:
    constexpr explicit Replaced(const char* symbol) : m_symbol(symbol) {}

    // Windows: points the imports of the symbol at `replacement`. Linux: nothing; the replacement
    // carries the symbol's name.
    void Install(void* replacement);

    // The library's own function, as F (the replacement's type).
    template <class F>
    F Real() {
        return reinterpret_cast<F>(RealAddress());
    }

  private:
    void* RealAddress();

    const char* m_symbol;
    std::atomic<void*> m_real{nullptr};
};

// Installs a replacement when the program starts.
struct Installer {
    Installer(Replaced& replaced, void* replacement) { replaced.Install(replacement); }
};

}  // namespace vqtest::interposition

// Defines `ret name params` as the replacement of `symbol` (VQ_SYMBOL's choice for the platform),
// installed when the program starts; the body follows. In the body, VQ_REAL(name) is the
// library's own function.
#define VQ_REPLACEMENT(symbol, ret, name, params)                                              \
    ret name params VQ_REPLACES(symbol);                                                       \
    namespace {                                                                                \
    ::vqtest::interposition::Replaced g_real_##name{symbol};                                   \
    const ::vqtest::interposition::Installer g_install_##name{g_real_##name,                   \
                                                              reinterpret_cast<void*>(&name)}; \
    }                                                                                          \
    ret name params
#define VQ_REAL(name) g_real_##name.Real<decltype(&name)>()

// Structured-exception translation on Windows (x64), for code built with mingw-w64 g++.
//
// g++ never calls the runtime's _set_se_translator hook, so translation is done here. The
// translator sees what no frame-based handler of the thread takes, as a frame handler at the base of
// the thread's stack would: the process's top-level exception filter, which the system calls in the
// search phase once every frame handler has declined, records the exception of a thread that has a
// translator and lets the thread go on in the trampoline below instead of at the faulting
// instruction. Code that handles its own faults (a callback's __try, system code that probes memory)
// keeps them. The filter chains to the one installed before it (MinGW's runtime installs one) for
// everything it does not translate; a filter installed later by the process replaces it, and then
// nothing is translated. The trampoline builds a machine frame (the faulting instruction and stack pointer),
// whose unwind code makes the system's unwinder continue at the faulting frame exactly as it was,
// and calls Dispatch, which calls the translator. What the translator throws unwinds through the
// trampoline into the faulting frame and on to the thread's catch clauses.
//
// The frame handlers of g++ code look a frame's call site up at its instruction pointer minus one,
// as for a return address; the machine frame therefore holds the faulting address plus one, which
// still lies within the faulting instruction.
#include "vqplatform/seh.h"

#include <array>
#include <atomic>
#include <cstdlib>

namespace {

struct Fault {
    EXCEPTION_RECORD record;
    CONTEXT context;
};

struct ThreadTranslation {
    ThreadTranslation() = default;
    ThreadTranslation(const ThreadTranslation&) = delete;
    ThreadTranslation& operator=(const ThreadTranslation&) = delete;
    ~ThreadTranslation();

    std::atomic<_se_translator_function> translator{nullptr};
    // Written by the exception handler, read by Dispatch before the translator runs.
    Fault fault{};
};

// The thread's translation as the exception handler reaches it: a Win32 TLS slot, since reading
// the runtime's thread_local storage may allocate on a thread's first use, which must not happen
// while the fault may have interrupted the heap.
DWORD g_slot = TLS_OUT_OF_INDEXES;

thread_local ThreadTranslation t_translation;

ThreadTranslation::~ThreadTranslation() {
    TlsSetValue(g_slot, nullptr);
}

// What is never translated: C++ exceptions of either compiler (g++ raises its own codes, 'GCC'
// with a type byte; MSVC raises 0xE06D7363), which their runtimes end as they must; a stack overflow,
// which leaves no stack to translate on; and the debugger's breakpoints and single steps.
constexpr DWORD kGccExceptionMask = 0x20FFFFFF;
constexpr DWORD kGccException = 0x20474343;
constexpr DWORD kMsvcException = 0xE06D7363;
constexpr std::array<DWORD, 4> kNeverTranslated = {
    kMsvcException,
    EXCEPTION_STACK_OVERFLOW,
    EXCEPTION_BREAKPOINT,
    EXCEPTION_SINGLE_STEP,
};

// The filter that was installed before ours.
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

}  // namespace

// The trampoline (see the top of this file). On entry: rcx = the ThreadTranslation, rdx = the
// faulting address plus one, r8 = the faulting frame's stack pointer = rsp. The machine frame is
// pushed as the processor pushes one for an interrupt: SS, RSP, EFLAGS, CS, RIP.
extern "C" void vqplatform_SehTrampoline();
extern "C" const char vqplatform_SehTrampolineEnd[];
asm(R"(
    .text
    .p2align 4
    .globl vqplatform_SehTrampoline
    .def vqplatform_SehTrampoline; .scl 2; .type 32; .endef
    .seh_proc vqplatform_SehTrampoline
vqplatform_SehTrampoline:
    andq $-16, %rsp
    pushq $0
    pushq %r8
    pushfq
    pushq $0
    pushq %rdx
    .seh_pushframe
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    call vqplatform_SehDispatch
    ud2
    .seh_endproc
    .globl vqplatform_SehTrampolineEnd
vqplatform_SehTrampolineEnd:
)");

extern "C" [[noreturn]] void vqplatform_SehDispatch(ThreadTranslation* thread) {
    // A copy, so that a fault inside the translator can record its own.
    Fault fault = thread->fault;
    EXCEPTION_POINTERS pointers{&fault.record, &fault.context};
    const _se_translator_function translator = thread->translator.load();
    if (translator != nullptr) {
        translator(fault.record.ExceptionCode, &pointers);
    }
    // As an unhandled exception ends a process.
    TerminateProcess(GetCurrentProcess(), fault.record.ExceptionCode);
    std::abort();
}

namespace {

bool IsTranslatable(const EXCEPTION_RECORD& record) {
    if ((record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0 ||
        (record.ExceptionCode & kGccExceptionMask) == kGccException) {
        return false;
    }
    for (const DWORD code : kNeverTranslated) {
        if (code == record.ExceptionCode) {
            return false;
        }
    }
    return true;
}

bool InTrampoline(DWORD64 pc) {
    const auto begin = reinterpret_cast<DWORD64>(&vqplatform_SehTrampoline);
    const auto end = reinterpret_cast<DWORD64>(vqplatform_SehTrampolineEnd);
    return pc >= begin && pc < end;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    // TlsGetValue clears the last error, which belongs to the interrupted code.
    const DWORD lastError = GetLastError();
    auto* thread = static_cast<ThreadTranslation*>(TlsGetValue(g_slot));
    SetLastError(lastError);

    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    CONTEXT& context = *pointers->ContextRecord;
    // A fault in the trampoline means the stack is exhausted: translating it again would loop.
    if (thread == nullptr || thread->translator.load() == nullptr || !IsTranslatable(record) ||
        InTrampoline(context.Rip)) {
        return g_previousFilter != nullptr ? g_previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    }
    thread->fault.record = record;
    thread->fault.record.ExceptionRecord = nullptr;
    thread->fault.context = context;
    context.Rcx = reinterpret_cast<DWORD64>(thread);
    context.Rdx = context.Rip + 1;
    context.R8 = context.Rsp;
    context.Rip = reinterpret_cast<DWORD64>(&vqplatform_SehTrampoline);
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool InstallExceptionHandler() {
    g_slot = TlsAlloc();
    if (g_slot == TLS_OUT_OF_INDEXES) {
        // Without it no fault could be translated; going on would hide that.
        std::abort();
    }
    g_previousFilter = SetUnhandledExceptionFilter(OnUnhandledException);
    return true;
}

}  // namespace

namespace vqplatform {

_se_translator_function SetThreadTranslator(_se_translator_function translator) noexcept {
    static const bool installed = InstallExceptionHandler();
    static_cast<void>(installed);
    ThreadTranslation& thread = t_translation;
    TlsSetValue(g_slot, &thread);
    return thread.translator.exchange(translator);
}

}  // namespace vqplatform

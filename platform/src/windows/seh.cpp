// Structured-exception translation on Windows (x64), for code built with mingw-w64 g++.
//
// g++ never calls the runtime's _set_se_translator hook, so translation is done here. A vectored
// exception handler, called before any frame handler, records a hardware fault of a thread that
// has a translator and lets the thread go on in the trampoline below instead of at the faulting
// instruction. The trampoline builds a machine frame (the faulting instruction and stack pointer),
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

constexpr std::array<DWORD, 15> kHardwareFaults = {
    EXCEPTION_ACCESS_VIOLATION,    EXCEPTION_IN_PAGE_ERROR,      EXCEPTION_DATATYPE_MISALIGNMENT,
    EXCEPTION_ILLEGAL_INSTRUCTION, EXCEPTION_PRIV_INSTRUCTION,   EXCEPTION_ARRAY_BOUNDS_EXCEEDED,
    EXCEPTION_INT_DIVIDE_BY_ZERO,  EXCEPTION_INT_OVERFLOW,       EXCEPTION_FLT_DENORMAL_OPERAND,
    EXCEPTION_FLT_DIVIDE_BY_ZERO,  EXCEPTION_FLT_INEXACT_RESULT, EXCEPTION_FLT_INVALID_OPERATION,
    EXCEPTION_FLT_OVERFLOW,        EXCEPTION_FLT_STACK_CHECK,    EXCEPTION_FLT_UNDERFLOW,
};

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

bool IsHardwareFault(DWORD code) {
    for (const DWORD fault : kHardwareFaults) {
        if (fault == code) {
            return true;
        }
    }
    return false;
}

bool InTrampoline(DWORD64 pc) {
    const auto begin = reinterpret_cast<DWORD64>(&vqplatform_SehTrampoline);
    const auto end = reinterpret_cast<DWORD64>(vqplatform_SehTrampolineEnd);
    return pc >= begin && pc < end;
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
    // TlsGetValue clears the last error, which belongs to the interrupted code.
    const DWORD lastError = GetLastError();
    auto* thread = static_cast<ThreadTranslation*>(TlsGetValue(g_slot));
    SetLastError(lastError);

    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    CONTEXT& context = *pointers->ContextRecord;
    // A fault in the trampoline means the stack is exhausted: translating it again would loop.
    if (thread == nullptr || thread->translator.load() == nullptr || !IsHardwareFault(record.ExceptionCode) ||
        InTrampoline(context.Rip)) {
        return EXCEPTION_CONTINUE_SEARCH;
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
    if (g_slot == TLS_OUT_OF_INDEXES || AddVectoredExceptionHandler(1, OnException) == nullptr) {
        // Without either no fault could be translated; going on would hide that.
        std::abort();
    }
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

// Structured-exception translation on Windows (x64).
//
// MSVC: the runtime's own translator, which its C++ frame handlers call.
//
// mingw-w64 g++: its frame handlers never call the runtime's translator, so translation is done
// here, by a frame-based handler on the frame of RunTranslated (an assembly thunk whose unwind data
// names OnTranslatedFrame as its exception handler). The system calls that handler in the search
// phase once every frame below it has declined the exception, so code that handles its own faults
// (a callback's __try, system code that probes memory) keeps them, and nothing outside the thread's
// stack can take the translation away. The handler records the exception and lets the thread go on
// in the trampoline below instead of at the faulting instruction. The trampoline builds a machine
// frame (the faulting instruction and stack pointer), whose unwind code makes the system's unwinder
// continue at the faulting frame exactly as it was, and calls Dispatch, which calls the translator.
// What the translator throws unwinds through the trampoline into the faulting frame and on to the
// thread's catch clauses.
//
// The frame handlers of g++ code look a frame's call site up at its instruction pointer minus one,
// as for a return address; the machine frame therefore holds the faulting address plus one, which
// still lies within the faulting instruction.
#include "vqplatform/seh.h"

#if defined(_MSC_VER)

namespace vqplatform {

_se_translator_function SetThreadTranslator(_se_translator_function translator) noexcept {
    return _set_se_translator(translator);
}

unsigned RunTranslated(ThreadRoutine routine, void* argument) {
    return routine(argument);
}

}  // namespace vqplatform

#else

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace {

struct Fault {
    EXCEPTION_RECORD record;
    CONTEXT context;
};

struct ThreadTranslation {
    std::atomic<_se_translator_function> translator{nullptr};
    // Written by the frame handler, read by Dispatch before the translator runs.
    Fault fault{};
};

thread_local ThreadTranslation t_translation;

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

}  // namespace

// The translating frame (see the top of this file). On entry: rcx = the routine, rdx = its argument,
// r8 = the thread's ThreadTranslation, kept at 32(%rsp) above the callee's home space, where the
// frame handler finds it: its establisher frame is the stack pointer after this prologue. The nop
// keeps the return address out of the epilogue, in which the system calls no handler.
extern "C" unsigned vqplatform_RunTranslated(vqplatform::ThreadRoutine routine, void* argument,
                                             ThreadTranslation* thread);
asm(R"(
    .text
    .p2align 4
    .globl vqplatform_RunTranslated
    .def vqplatform_RunTranslated; .scl 2; .type 32; .endef
    .seh_proc vqplatform_RunTranslated
vqplatform_RunTranslated:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    nop
    addq $40, %rsp
    ret
    .seh_handler vqplatform_OnTranslatedFrame, @except
    .seh_endproc
)");
constexpr std::size_t kTranslationSlot = 32;

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

}  // namespace

extern "C" EXCEPTION_DISPOSITION vqplatform_OnTranslatedFrame(EXCEPTION_RECORD* record,
                                                              void* establisherFrame, CONTEXT* context,
                                                              void* /*dispatcherContext*/) {
    // Unwinding passes through this frame like any other; only the search phase translates.
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0) {
        return ExceptionContinueSearch;
    }
    ThreadTranslation* const thread =
        *reinterpret_cast<ThreadTranslation**>(static_cast<char*>(establisherFrame) + kTranslationSlot);
    // A fault in the trampoline means the stack is exhausted: translating it again would loop.
    if (thread->translator.load() == nullptr || !IsTranslatable(*record) || InTrampoline(context->Rip)) {
        return ExceptionContinueSearch;
    }
    thread->fault.record = *record;
    thread->fault.record.ExceptionRecord = nullptr;
    thread->fault.context = *context;
    context->Rcx = reinterpret_cast<DWORD64>(thread);
    context->Rdx = context->Rip + 1;
    context->R8 = context->Rsp;
    context->Rip = reinterpret_cast<DWORD64>(&vqplatform_SehTrampoline);
    return ExceptionContinueExecution;
}

namespace vqplatform {

_se_translator_function SetThreadTranslator(_se_translator_function translator) noexcept {
    return t_translation.translator.exchange(translator);
}

unsigned RunTranslated(ThreadRoutine routine, void* argument) {
    return vqplatform_RunTranslated(routine, argument, &t_translation);
}

}  // namespace vqplatform

#endif

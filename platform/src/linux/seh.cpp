// Structured-exception translation on Linux (x86-64): fault signals become translator calls.
//
// The fault handler does not call the translator: an exception thrown there would have to unwind
// through the kernel's signal frame, possibly on an alternate signal stack. The handler records the
// fault for its thread and rewrites the interrupted context so that, when the handler returns, the
// thread resumes in the trampoline below, on its own stack, under the faulting frame's red zone.
// The trampoline's unwind information presents it as called from the faulting instruction, with
// the faulting frame's stack pointer, and marks it as a signal frame, so the unwinder looks the
// faulting frame up at the faulting instruction itself rather than one byte before it, as it would
// for a return address. The trampoline calls Dispatch, which calls the translator; what that throws
// unwinds through the trampoline into the faulting frame and on to the thread's catch clauses.
#include "vqplatform/seh.h"

#include <signal.h>
#include <ucontext.h>

#include <array>
#include <atomic>
#include <cstdlib>

#if !defined(__x86_64__)
#error "Structured-exception translation on Linux is implemented for x86-64 only"
#endif

namespace {

struct Fault {
    int signal;
    EXCEPTION_RECORD record;
    CONTEXT context;
};

struct ThreadTranslation {
    ThreadTranslation() = default;
    ThreadTranslation(const ThreadTranslation&) = delete;
    ThreadTranslation& operator=(const ThreadTranslation&) = delete;
    ~ThreadTranslation();

    std::atomic<_se_translator_function> translator{nullptr};
    // Written by the fault handler, read by Dispatch before the translator runs.
    Fault fault{};
};

thread_local ThreadTranslation t_translation;

// The thread's translation as the fault handler reaches it. Initial-exec TLS sits at a fixed offset
// from the thread pointer, so reading it can neither allocate nor lock, as the lazily allocated TLS
// of a dlopen()ed library may on its first use in a thread: that must not happen in a signal handler.
thread_local ThreadTranslation* t_current __attribute__((tls_model("initial-exec"))) = nullptr;

ThreadTranslation::~ThreadTranslation() {
    t_current = nullptr;
}

constexpr std::array<int, 4> kFaultSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// The handlers ours replaced, in the order of kFaultSignals; written once, before ours is installed.
std::array<struct sigaction, kFaultSignals.size()> g_previous{};

}  // namespace

// The trampoline (see the top of this file). On entry: rdi = the ThreadTranslation, rsi = the
// faulting instruction, rsp = the faulting frame's stack pointer. Unwind rules: the caller's
// stack pointer (the CFA) is kept in the trampoline's frame, and so is the "return address", the
// faulting instruction; DW_CFA_def_cfa_expression and DW_CFA_expression are spelled as raw bytes
// because the assembler has no directive for them.
extern "C" void vqplatform_SehTrampoline();
extern "C" const char vqplatform_SehTrampolineEnd[];
asm(R"(
    .text
    .p2align 4
    .globl vqplatform_SehTrampoline
    .hidden vqplatform_SehTrampoline
    .type vqplatform_SehTrampoline, @function
vqplatform_SehTrampoline:
    .cfi_startproc simple
    .cfi_signal_frame
    .cfi_def_cfa %rsp, 0
    .cfi_register %rip, %rsi
    movq %rsp, %rax
    .cfi_def_cfa %rax, 0
    leaq -128(%rsp), %rsp
    andq $-16, %rsp
    pushq %rax
    .cfi_escape 0x0f, 0x03, 0x77, 0x00, 0x06
    pushq %rsi
    .cfi_escape 0x0f, 0x03, 0x77, 0x08, 0x06
    .cfi_escape 0x10, 0x10, 0x02, 0x77, 0x00
    call vqplatform_SehDispatch
    ud2
    .cfi_endproc
    .globl vqplatform_SehTrampolineEnd
    .hidden vqplatform_SehTrampolineEnd
vqplatform_SehTrampolineEnd:
    .size vqplatform_SehTrampoline, .-vqplatform_SehTrampoline
)");

namespace {

[[noreturn]] void DieOfSignal(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
    std::abort();  // only when the thread blocks the signal
}

}  // namespace

extern "C" [[noreturn]] void vqplatform_SehDispatch(ThreadTranslation* thread) {
    // A copy, so that a fault inside the translator can record its own.
    Fault fault = thread->fault;
    EXCEPTION_POINTERS pointers{&fault.record, &fault.context};
    const _se_translator_function translator = thread->translator.load();
    if (translator != nullptr) {
        translator(fault.record.ExceptionCode, &pointers);
    }
    DieOfSignal(fault.signal);
}

namespace {

std::size_t SignalIndex(int signal) {
    std::size_t index = 0;
    while (index + 1 < kFaultSignals.size() && kFaultSignals[index] != signal) {
        ++index;
    }
    return index;
}

bool SentByProcess(const siginfo_t& info) {
    // SI_USER, SI_QUEUE, SI_TKILL and the like are <= 0; the kernel's own reports are positive.
    return info.si_code <= 0;
}

// What ours replaced, as the kernel would have done it.
void Chain(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = g_previous[SignalIndex(signal)];
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
        previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler == SIG_IGN && SentByProcess(*info)) {
        // A sent signal that was ignored stays ignored.
    } else if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
        // The kernel never lets a fault be ignored. Returning runs the faulting instruction again,
        // which now takes the default action; a sent signal, blocked in here, is raised again.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        if (SentByProcess(*info)) {
            raise(signal);
        }
    } else {
        previous.sa_handler(signal);
    }
}

ULONG_PTR AccessKind(const siginfo_t& info, const ucontext_t& context) {
    // The page-fault error code: bit 1 a write, bit 4 an instruction fetch.
    const greg_t error = context.uc_mcontext.gregs[REG_ERR];
    if (info.si_code == SI_KERNEL) {
        return 0;
    }
    if ((error & 0x10) != 0) {
        return 8;
    }
    return (error & 0x2) != 0 ? 1 : 0;
}

DWORD FloatingPointCode(int code) {
    switch (code) {
        case FPE_INTDIV:
            return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
            return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
            return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
            return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
            return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
            return EXCEPTION_FLT_INEXACT_RESULT;
        default:
            return EXCEPTION_FLT_INVALID_OPERATION;
    }
}

void Describe(int signal, const siginfo_t& info, const ucontext_t& context, Fault* fault) {
    const greg_t* registers = context.uc_mcontext.gregs;
    fault->signal = signal;

    EXCEPTION_RECORD& record = fault->record;
    record = EXCEPTION_RECORD{};
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the faulting instruction's address, as the CPU saved it
    record.ExceptionAddress = reinterpret_cast<void*>(registers[REG_RIP]);
    const bool access = signal == SIGSEGV || (signal == SIGBUS && info.si_code != BUS_ADRALN);
    if (signal == SIGSEGV) {
        record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    } else if (signal == SIGBUS) {
        record.ExceptionCode = access ? EXCEPTION_IN_PAGE_ERROR : EXCEPTION_DATATYPE_MISALIGNMENT;
    } else if (signal == SIGFPE) {
        record.ExceptionCode = FloatingPointCode(info.si_code);
    } else {
        const bool privileged = info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG;
        record.ExceptionCode = privileged ? EXCEPTION_PRIV_INSTRUCTION : EXCEPTION_ILLEGAL_INSTRUCTION;
    }
    if (access) {
        record.NumberParameters = 2;
        record.ExceptionInformation[0] = AccessKind(info, context);
        record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info.si_addr);
    }

    CONTEXT& registersAtFault = fault->context;
    const auto at = [registers](int index) { return static_cast<DWORD64>(registers[index]); };
    registersAtFault.Rax = at(REG_RAX);
    registersAtFault.Rcx = at(REG_RCX);
    registersAtFault.Rdx = at(REG_RDX);
    registersAtFault.Rbx = at(REG_RBX);
    registersAtFault.Rsp = at(REG_RSP);
    registersAtFault.Rbp = at(REG_RBP);
    registersAtFault.Rsi = at(REG_RSI);
    registersAtFault.Rdi = at(REG_RDI);
    registersAtFault.R8 = at(REG_R8);
    registersAtFault.R9 = at(REG_R9);
    registersAtFault.R10 = at(REG_R10);
    registersAtFault.R11 = at(REG_R11);
    registersAtFault.R12 = at(REG_R12);
    registersAtFault.R13 = at(REG_R13);
    registersAtFault.R14 = at(REG_R14);
    registersAtFault.R15 = at(REG_R15);
    registersAtFault.Rip = at(REG_RIP);
    registersAtFault.EFlags = static_cast<DWORD>(registers[REG_EFL]);
}

bool InTrampoline(greg_t pc) {
    const auto begin = reinterpret_cast<greg_t>(&vqplatform_SehTrampoline);
    const auto end = reinterpret_cast<greg_t>(vqplatform_SehTrampolineEnd);
    return pc >= begin && pc < end;
}

void OnFault(int signal, siginfo_t* info, void* context) {
    auto* interrupted = static_cast<ucontext_t*>(context);
    greg_t* registers = interrupted->uc_mcontext.gregs;
    ThreadTranslation* thread = t_current;
    // A fault in the trampoline means the stack is exhausted: translating it again would loop.
    if (thread == nullptr || thread->translator.load() == nullptr || SentByProcess(*info) ||
        InTrampoline(registers[REG_RIP])) {
        Chain(signal, info, context);
        return;
    }
    Describe(signal, *info, *interrupted, &thread->fault);
    registers[REG_RDI] = reinterpret_cast<greg_t>(thread);
    registers[REG_RSI] = registers[REG_RIP];
    registers[REG_RIP] = reinterpret_cast<greg_t>(&vqplatform_SehTrampoline);
}

bool InstallFaultHandlers() {
    for (std::size_t index = 0; index < kFaultSignals.size(); ++index) {
        sigaction(kFaultSignals[index], nullptr, &g_previous[index]);
        struct sigaction ours {};
        ours.sa_sigaction = OnFault;
        // SA_ONSTACK: a chained handler (a sanitizer's) may rely on the alternate stack it set up.
        // Ours does not mind where it runs, since the translator runs after it has returned.
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        sigaction(kFaultSignals[index], &ours, nullptr);
    }
    return true;
}

}  // namespace

namespace vqplatform {

_se_translator_function SetThreadTranslator(_se_translator_function translator) noexcept {
    if (translator != nullptr) {
        static const bool installed = InstallFaultHandlers();
        static_cast<void>(installed);
    }
    ThreadTranslation& thread = t_translation;
    t_current = &thread;
    return thread.translator.exchange(translator);
}

unsigned RunTranslated(ThreadRoutine routine, void* argument) {
    return routine(argument);
}

}  // namespace vqplatform

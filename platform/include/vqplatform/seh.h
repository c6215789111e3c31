// Structured exceptions: the records a translator receives, the codes it may see, and the
// per-thread translator that turns a hardware fault into a C++ exception of the translator's making.
//
// vqplatform::SetThreadTranslator(f) makes `f` the calling thread's translator and returns the one
// it had before (nullptr on a new thread); nullptr uninstalls. vqplatform::RunTranslated(routine,
// argument) runs routine(argument) and returns its result; a thread that translates calls it from its
// thread routine, as the outermost frame of everything it runs. These are the names to use on both
// platforms: with mingw-w64 g++ the runtime's `_set_se_translator` is never called.
//
// On a translating thread, a fault of the thread's own instruction calls the translator on that
// thread, on its own stack, as if called from the faulting instruction: what it throws unwinds from
// the faulting frame into the thread's catch clauses, running the destructors of every frame on the
// way (locks held by guards are released), and the process goes on. The records passed to the
// translator live until it returns. A translator that returns instead of throwing ends the process
// as an unhandled fault would (Linux: the signal's default action; Windows: exit code = the code).
// A fault inside a translator is translated again, as on Windows.
//
// Compile code that may fault with -fnon-call-exceptions: without it the compiler records no
// landing pad for a faulting instruction, and the unwinder passes over that frame's destructors and
// catch clauses.
//
// Threads without a translator keep the behaviour they had: a fault goes to the fault handler that
// was installed before this layer's (a sanitizer's, for example) or takes the signal's default
// action (Linux), or goes on to the frame handlers further out and the unhandled-exception filter
// (Windows). A stack overflow is never translated: there is no stack left to run the translator on.
//
// Linux (x86-64): a translating thread is one with a translator; RunTranslated only calls the
// routine. The faults are SIGSEGV, SIGBUS, SIGFPE and SIGILL raised by an instruction (a signal sent
// by kill() or raise() is no fault). They read as:
//   SIGSEGV  EXCEPTION_ACCESS_VIOLATION; 2 parameters: [0] 0 read, 1 write, 8 execute (0 when the
//            processor does not tell, as for a general-protection fault), [1] the address accessed
//            (0 when the processor does not report one)
//   SIGBUS   EXCEPTION_DATATYPE_MISALIGNMENT for a misaligned access (no parameters), else
//            EXCEPTION_IN_PAGE_ERROR with the 2 parameters above
//   SIGFPE   EXCEPTION_INT_DIVIDE_BY_ZERO (x86 reports INT_MIN / -1 the same way),
//            EXCEPTION_INT_OVERFLOW, or the EXCEPTION_FLT_* code of the floating-point fault
//            (EXCEPTION_FLT_INVALID_OPERATION when the kernel names none)
//   SIGILL   EXCEPTION_PRIV_INSTRUCTION for a privileged opcode or register, else
//            EXCEPTION_ILLEGAL_INSTRUCTION
// ExceptionAddress is the faulting instruction; ContextRecord holds the integer registers at the
// fault. The fault handlers are installed for the whole process on the first installation of a
// translator and stay; the handlers they replaced are the ones chained to. A handler that the
// process installs later for these signals replaces them and ends the translation.
// Windows: a translating thread is one with a translator, running inside RunTranslated, whose frame
// carries a frame-based exception handler (MSVC: the runtime's _set_se_translator, and
// RunTranslated only calls the routine). The translator receives every structured exception of the
// thread that no frame-based handler deeper on its stack takes (a __try of the thread's own code or
// of system code that probes memory keeps its exception): hardware faults and exceptions raised with
// RaiseException alike, as the runtime's translator would. Left alone: C++ throws (g++'s and
// MSVC's), stack overflows, breakpoints, single steps and non-continuable exceptions. Nothing is
// installed for the process: a top-level exception filter that the process sets changes nothing.
//
// Thread-safe; nothing here throws but the routine that RunTranslated runs.
#pragma once

#include "vqplatform/types.h"

#if defined(_WIN32)
// MinGW's <eh.h> uses std::type_info without including <typeinfo>.
#include <typeinfo>

#include <eh.h>
#else
#define EXCEPTION_MAXIMUM_PARAMETERS 15
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_DATATYPE_MISALIGNMENT 0x80000002u
#define EXCEPTION_BREAKPOINT 0x80000003u
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006u
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du
#define EXCEPTION_PRIV_INSTRUCTION 0xC0000096u
#define EXCEPTION_FLT_DIVIDE_BY_ZERO 0xC000008Eu
#define EXCEPTION_FLT_INVALID_OPERATION 0xC0000090u
#define EXCEPTION_FLT_OVERFLOW 0xC0000091u
#define EXCEPTION_FLT_UNDERFLOW 0xC0000093u
#define EXCEPTION_FLT_INEXACT_RESULT 0xC000008Fu
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u
#define EXCEPTION_INT_OVERFLOW 0xC0000095u
#define EXCEPTION_STACK_OVERFLOW 0xC00000FDu

using DWORD64 = std::uint64_t;

// The integer registers of x86-64 at the fault, named as in the Windows CONTEXT.
struct CONTEXT {
    DWORD64 Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    DWORD64 R8, R9, R10, R11, R12, R13, R14, R15;
    DWORD64 Rip;
    DWORD EFlags;
};

struct EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    EXCEPTION_RECORD* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    CONTEXT* ContextRecord;
};

// The runtime's name for a translator.
using _se_translator_function = void (*)(unsigned int, EXCEPTION_POINTERS*);
#endif

namespace vqplatform {

VQPLATFORM_API _se_translator_function SetThreadTranslator(_se_translator_function translator) noexcept;

// A thread routine, as _beginthreadex runs one.
using ThreadRoutine = unsigned (*)(void*);

VQPLATFORM_API unsigned RunTranslated(ThreadRoutine routine, void* argument);

}  // namespace vqplatform

/// @file
/// Export macro of the error component (VQError64): dllexport while VQError64 is built (CMake defines
/// VQError64_EXPORTS), dllimport for everyone else on Windows; default visibility on Linux, where the library
/// is built with hidden visibility. Exception types carry it too, so that their type information is one in
/// all binaries.
///
/// MSVC warns (C4251) about exported classes whose members have types without dll-interface, such as
/// the standard library's: a client built with another compiler or runtime could not use them. The
/// binary contract rules that out (client and DLL come from one compiler and runtime), so the
/// component's headers silence that warning for their own classes, between push and pop.

/// @def VQERROR_API
/// Marks what VQError64 exports; the description of this file says how.
#pragma once

#if defined(_WIN32)
#if defined(VQError64_EXPORTS)
#define VQERROR_API __declspec(dllexport)
#else
#define VQERROR_API __declspec(dllimport)
#endif
#else
#define VQERROR_API __attribute__((visibility("default")))
#endif

/// @file
/// Export macro of the public API of VQProcessStateHandler64.
///
/// VQPSH_API marks what the library exports: XVQProcessEmergencyHandler and XClientEmergencyHandler.
/// - Windows: __declspec(dllexport) while the library itself is compiled (VQPSH_BUILDING_LIBRARY),
///   nothing for programs that link the library's objects statically (VQPSH_STATIC; the unit tests),
///   __declspec(dllimport) for every client of the DLL.
/// - Linux: default visibility; the library is built with hidden visibility, so only what carries
///   this mark leaves the shared object.

/// @def VQPSH_API
/// Marks the exported API of VQProcessStateHandler64; the description of this file says how.
#pragma once

#if defined(_WIN32)
#if defined(VQPSH_BUILDING_LIBRARY)
#define VQPSH_API __declspec(dllexport)
#elif defined(VQPSH_STATIC)
#define VQPSH_API
#else
#define VQPSH_API __declspec(dllimport)
#endif
#else
#define VQPSH_API __attribute__((visibility("default")))
#endif

/// @file
/// Export macros of the platform layer.
///
/// VQPLATFORM_API marks what the platform library offers to other binaries. It is a shared library
/// on both platforms, so that its process-wide state (per-thread last error, message queues and the
/// Global Interface Table on Linux) exists once per process: dllexport while it is built (CMake defines
/// vqplatform_EXPORTS), dllimport for everyone else on Windows; default visibility on Linux, where
/// everything is built with hidden visibility. That includes every exception type, whose type
/// information must be one and the same in all binaries for catch clauses to match.
///
/// VQ_EXPORT is for code that is linked statically into the module and the tests (error reporting,
/// the shared templates): default visibility on Linux for the same reason, nothing on Windows.

/// @def VQPLATFORM_API
/// Marks what the platform library exports; the description of this file says how.

/// @def VQ_EXPORT
/// Marks code linked statically into the module and the tests that must be one in all binaries; the
/// description of this file says how.
#pragma once

#if defined(_WIN32)
#if defined(vqplatform_EXPORTS)
#define VQPLATFORM_API __declspec(dllexport)
#else
#define VQPLATFORM_API __declspec(dllimport)
#endif
#define VQ_EXPORT
#else
#define VQPLATFORM_API __attribute__((visibility("default")))
#define VQ_EXPORT __attribute__((visibility("default")))
#endif

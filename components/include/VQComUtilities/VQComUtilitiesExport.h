/// @file
/// Export macro of the lock library (VQComUtilities64): dllexport while VQComUtilities64 is built (CMake
/// defines VQComUtilities64_EXPORTS), dllimport for everyone else on Windows; default visibility on Linux,
/// where the library is built with hidden visibility. Exception types carry it too, so that their type
/// information is one in all binaries.

/// @def VQCOMUTILITIES_API
/// Marks what VQComUtilities64 exports; the description of this file says how.
#pragma once

#if defined(_WIN32)
#if defined(VQComUtilities64_EXPORTS)
#define VQCOMUTILITIES_API __declspec(dllexport)
#else
#define VQCOMUTILITIES_API __declspec(dllimport)
#endif
#else
#define VQCOMUTILITIES_API __attribute__((visibility("default")))
#endif

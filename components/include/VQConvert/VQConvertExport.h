/// @file
/// Export macro of the string library (VQConvert64): dllexport while VQConvert64 is built (CMake defines
/// VQConvert64_EXPORTS), dllimport for everyone else on Windows; default visibility on Linux, where the
/// library is built with hidden visibility. Exception types carry it too, so that their type information is
/// one in all binaries.

/// @def VQCONVERT_API
/// Marks what VQConvert64 exports; the description of this file says how.
#pragma once

#if defined(_WIN32)
#if defined(VQConvert64_EXPORTS)
#define VQCONVERT_API __declspec(dllexport)
#else
#define VQCONVERT_API __declspec(dllimport)
#endif
#else
#define VQCONVERT_API __attribute__((visibility("default")))
#endif

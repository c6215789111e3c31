// Export macro of the error component (VQError64): dllexport while VQError64 is built (CMake defines
// VQError64_EXPORTS), dllimport for everyone else on Windows; default visibility on Linux, where the library
// is built with hidden visibility. Exception types carry it too, so that their type information is one in all
// binaries.
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

// mingw-w64's _mingw.h defines __MINGW_IMPORT only where __declspec is a macro (GCC) or the compiler
// is not a GNU one; clang in MSVC mode with __GNUC__ is neither. The definition of its non-GNU branch.
#include_next <_mingw.h>
#ifndef __MINGW_IMPORT
#define __MINGW_IMPORT __declspec(dllimport)
#endif

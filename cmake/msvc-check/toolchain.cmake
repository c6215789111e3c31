# The MSVC-mode compile check (scripts/check-msvc): clang-cl, clang's MSVC-compatible driver
# (x86_64-pc-windows-msvc, -fms-compatibility, -fms-extensions, _MSC_VER defined), so that the
# project takes its MSVC paths: /W4 /WX /EHa, __declspec(uuid), the MSVC branches of the sources.
# This machine has no Windows SDK and no MSVC standard library: the SDK headers are mingw-w64's and
# the standard library headers are libstdc++'s for mingw-w64 (Debian's packages), with the few
# adaptations in sdk/. Objects only: without the MSVC runtime's libraries nothing links.
#
# Set by scripts/check-msvc: VQ_CLANG_CL (the driver), VQ_LIBSTDCXX_INCLUDE (libstdc++'s headers
# for x86_64-w64-mingw32), VQ_MINGW_INCLUDE (mingw-w64's SDK headers).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER ${VQ_CLANG_CL})
set(CMAKE_CXX_COMPILER ${VQ_CLANG_CL})
get_filename_component(VQ_LLVM_BIN ${VQ_CLANG_CL} DIRECTORY)
find_program(CMAKE_AR NAMES llvm-lib HINTS ${VQ_LLVM_BIN} REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link HINTS ${VQ_LLVM_BIN} REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc HINTS ${VQ_LLVM_BIN} REQUIRED)
find_program(CMAKE_MT NAMES llvm-mt HINTS ${VQ_LLVM_BIN} REQUIRED)
# CMake's compiler checks would link a program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VQ_CLANG_CL VQ_LIBSTDCXX_INCLUDE VQ_MINGW_INCLUDE)

# /X: none of the host's headers. -fgnuc-version: mingw-w64's headers are written for GNU compilers
# (without __GNUC__ they define __attribute__ away, which breaks clang's own intrinsics headers);
# _MSC_VER stays defined. __STRICT_ANSI__: as GCC defines it for -std=c++17, which libstdc++ expects
# when GCC's own __int128 macros are absent.
# The -W options: clang's counterparts of warnings that MSVC's /W4 gives and clang-cl's /W4 does not
# (shadowing: C4456 to C4459; narrowing: C4244, C4267; unreachable code: C4702).
set(VQ_MSVC_CHECK_FLAGS
    "--target=x86_64-pc-windows-msvc /X -fgnuc-version=12 -D__STRICT_ANSI__"
    "-Wshadow-all -Wshorten-64-to-32 -Wimplicit-int-conversion -Wunreachable-code"
    "/imsvc ${CMAKE_CURRENT_LIST_DIR}/sdk"
    "/imsvc ${VQ_LIBSTDCXX_INCLUDE} /imsvc ${VQ_LIBSTDCXX_INCLUDE}/x86_64-w64-mingw32"
    "/imsvc ${VQ_MINGW_INCLUDE}")
string(JOIN " " VQ_MSVC_CHECK_FLAGS ${VQ_MSVC_CHECK_FLAGS})
set(CMAKE_C_FLAGS_INIT "${VQ_MSVC_CHECK_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VQ_MSVC_CHECK_FLAGS}")

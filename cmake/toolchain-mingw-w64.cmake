# Cross-build for 64-bit Windows with mingw-w64 (Debian's g++-mingw-w64-x86-64-posix).
# The -posix compilers are required: the win32 thread model lacks std::mutex and std::thread,
# which the library and GoogleTest use. Tests run under Wine (CMAKE_CROSSCOMPILING_EMULATOR, set by
# the `windows` preset).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VQ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VQ_MINGW_TRIPLE}-windres)

# Libraries, headers and packages come from the target sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

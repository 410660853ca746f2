# Cross-compiling the Windows x86-64 program with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# Programs built here run under Wine (wine64) for the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KDX_MINGW_PREFIX x86_64-w64-mingw32)

# The posix thread model of the mingw compiler (the win32 one lacks std::thread and friends).
set(CMAKE_C_COMPILER ${KDX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KDX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KDX_MINGW_PREFIX}-windres)
set(CMAKE_ASM_COMPILER ${KDX_MINGW_PREFIX}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${KDX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Link the C and C++ runtimes statically so the programs run under Wine without DLLs
# copied beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The programs run under Wine through the build tree's wine-run script (CMakeLists.txt).

# Cross build for 64-bit Windows with MinGW-w64. Its programs (the test
# suite) run under wine64 through cmake/wine-run.sh, with a wine prefix of
# the build's own (<build>/wineprefix, created on first use).
#
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
#         -DVQLOGGER_GTEST_SOURCE=/usr/src/googletest
#
# The -posix compilers serve C and C++ alike: GoogleTest needs std::thread
# and std::mutex, which the default win32 thread model lacks, and its project
# enables C as well.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Headers, libraries and packages come from the MinGW sysroot only; build
# tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# DLLs and programs link libgcc, libstdc++ and winpthread statically, so
# they import only KERNEL32.dll and msvcrt.dll and need no MinGW DLLs beside
# them. The trailing -Bstatic undoes any -Bdynamic among a target's own link
# options, which would otherwise let the driver's libraries (winpthread, for
# the posix thread model) resolve to their DLLs; the system libraries are
# import archives and link the same either way.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,-Bstatic")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,-Bstatic")

set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--prefix=${CMAKE_BINARY_DIR}/wineprefix")

# Cross build of the test suite for 32-bit Windows with MinGW-w64. Its
# programs run under 32-bit wine through cmake/wine-run.sh --wine32, with a
# wine prefix of the build's own (<build>/wineprefix, created on first use),
# where the kernel runs 32-bit code (scripts/probe-32bit.sh).
#
#   cmake -S . -B build/win32-tests -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686-posix.cmake \
#         -DVQLOGGER_GTEST_SOURCE=/usr/src/googletest \
#         -DVQLOGGER_TEST_LIBRARY=$PWD/build/win32/vqlogger.dll
#
# The -posix compilers serve C and C++ alike: GoogleTest needs std::thread
# and std::mutex, which the default win32 thread model lacks, and its project
# enables C as well. The DLL users get is built by cmake/mingw-i686.cmake
# (the win32 thread model); VQLOGGER_TEST_LIBRARY makes the tests load that
# one rather than the DLL built here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Headers, libraries and packages come from the MinGW sysroot only; build
# tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs link libgcc, libstdc++ and winpthread statically, as in
# cmake/mingw-x86_64.cmake, so they import only KERNEL32.dll and msvcrt.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,-Bstatic")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,-Bstatic")

set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--prefix=${CMAKE_BINARY_DIR}/wineprefix;--wine32")

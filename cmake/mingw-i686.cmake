# Cross build of the shipping 32-bit Windows DLL with MinGW-w64 (default
# win32 thread model: the library's locks are critical sections).
#
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DVQLOGGER_BUILD_TESTS=OFF
#
# This is the DLL users get; it is inspected (scripts/check-dll.sh) and, where
# the kernel runs 32-bit code, tested under 32-bit wine by the i686 test
# build of cmake/mingw-i686-posix.cmake, given it as VQLOGGER_TEST_LIBRARY
# (scripts/test.sh, leg win32). Nothing of this build runs by itself, hence
# no CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Headers, libraries and packages come from the MinGW sysroot only; build
# tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
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

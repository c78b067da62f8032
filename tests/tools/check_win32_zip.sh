#!/usr/bin/env bash
# Cross-builds the 32-bit Windows DLL and vqlog.exe, packs them with CPack
# and checks the zip: the DLL, vqlog.exe beside it, the import library, the
# .def file with the eight exports, both headers, the CMake and pkg-config
# files and the readme. Exits 77 (skipped) without the MinGW i686 toolchain.
#   check_win32_zip.sh SOURCE WORK
set -euo pipefail
source=$1 work=$2
toolchain=$source/cmake/mingw-i686.cmake
if [[ ! -f $toolchain ]] || ! command -v i686-w64-mingw32-g++ >/dev/null || ! command -v unzip >/dev/null; then
  echo "skipped: no MinGW i686 toolchain (or no unzip)"
  exit 77
fi
rm -rf "$work"
cmake -S "$source" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DVQLOGGER_BUILD_TESTS=OFF -DVQLOGGER_BUILD_TOOLS=ON >"$work.configure.log"
cmake --build "$work" -j2 >"$work.build.log"
(cd "$work" && cpack -G ZIP >"$work.cpack.log")
zip=$(ls "$work"/vqlogger-*-win32.zip)
listing=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
expected=$(sort <<'LIST'
README.txt
bin/vqlog.exe
bin/vqlogger.dll
include/vqlogger.h
include/vqlogger_helpers.h
lib/cmake/vqlogger/vqloggerConfig.cmake
lib/cmake/vqlogger/vqloggerConfigVersion.cmake
lib/cmake/vqlogger/vqloggerTargets-release.cmake
lib/cmake/vqlogger/vqloggerTargets.cmake
lib/libvqlogger.dll.a
lib/pkgconfig/vqlogger.pc
lib/vqlogger.def
LIST
)
if [[ $listing != "$expected" ]]; then
  diff <(echo "$expected") <(echo "$listing") || true
  exit 1
fi
def=$(unzip -p "$zip" lib/vqlogger.def | tr -d '\r')
expected_def=$'LIBRARY vqlogger.dll\nEXPORTS\n  InitializeLogger\n  AssertToLogfile\n  RuntimeInfoToLogfileA\n  RuntimeInfoToLogfile\n  RuntimeInfoToLogfileArglist\n  RuntimeInfoToLogfileBinary\n  SetLoggingLevel\n  GetLoggingLevel'
[[ $def == "$expected_def" ]] || { printf 'vqlogger.def:\n%s\n' "$def"; exit 1; }
# The DLL in the zip exports exactly the names in the .def file.
unzip -p "$zip" bin/vqlogger.dll >"$work/vqlogger.dll"
exports=$(i686-w64-mingw32-objdump -p "$work/vqlogger.dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF} on && /^$/{on=0}' | sort)
[[ $exports == "$(sed -n '3,$p' <<<"$expected_def" | tr -d ' ' | sort)" ]] ||
  { printf 'exports of the DLL:\n%s\n' "$exports"; exit 1; }
# vqlog.exe is a 32-bit program that needs nothing but the DLL beside it and
# the system's own libraries.
unzip -p "$zip" bin/vqlog.exe >"$work/vqlog.exe"
header=$(i686-w64-mingw32-objdump -f "$work/vqlog.exe")
[[ $header == *"file format pei-i386"* ]] || { printf 'vqlog.exe:\n%s\n' "$header"; exit 1; }
imports=$(i686-w64-mingw32-objdump -p "$work/vqlog.exe" | awk '/DLL Name:/{print $3}' | sort)
[[ $imports == $'ADVAPI32.dll\nCRYPT32.dll\nKERNEL32.dll\nSecur32.dll\nWS2_32.dll\nmsvcrt.dll\nncrypt.dll\nvqlogger.dll' ]] ||
  { printf 'vqlog.exe imports:\n%s\n' "$imports"; exit 1; }
echo "zip ok: $zip"

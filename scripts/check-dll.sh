#!/usr/bin/env bash
# Checks what a Windows DLL shows to its hosts: it must export exactly the
# expected names (undecorated, no more, no fewer) and import from no DLL but
# KERNEL32.dll and msvcrt.dll.
#
#   scripts/check-dll.sh [--machine i386|x86-64] DLL EXPORTS_FILE
#   scripts/check-dll.sh [--machine i386|x86-64] DLL NAME [NAME...]
#
# EXPORTS_FILE holds one name a line (blank lines and # comments ignored).
# --machine also checks the DLL's architecture.
set -euo pipefail

allowed_imports=(KERNEL32.dll msvcrt.dll)

usage() {
  echo "usage: $0 [--machine i386|x86-64] DLL (EXPORTS_FILE | NAME...)" >&2
  exit 2
}

machine=
if [[ ${1-} == --machine ]]; then
  [[ $# -ge 2 ]] || usage
  machine=$2
  shift 2
fi
[[ $# -ge 2 ]] || usage
dll=$1
shift

if [[ ! -f $dll ]]; then
  echo "check-dll: $dll: no such file" >&2
  exit 1
fi

if [[ $# -eq 1 && -f $1 ]]; then
  expected=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$1" | LC_ALL=C sort)
else
  expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
fi
if [[ -z $expected ]]; then
  echo "check-dll: the expected export list is empty" >&2
  exit 2
fi

# Each MinGW objdump reads only its own PE flavour; the host's may read
# both. The first that understands the file is used.
objdump=
headers=
for candidate in i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump objdump; do
  command -v "$candidate" >/dev/null 2>&1 || continue
  if headers=$("$candidate" -p "$dll" 2>/dev/null); then
    objdump=$candidate
    break
  fi
done
if [[ -z $objdump ]]; then
  echo "check-dll: no objdump here reads $dll (install binutils-mingw-w64)" >&2
  exit 1
fi

failures=0
fail() {
  echo "check-dll: FAIL: $*" >&2
  failures=$((failures + 1))
}

# Architecture, from the file format line ("file format pei-i386").
if [[ -n $machine ]]; then
  format=$("$objdump" -f "$dll" | sed -n 's/.*file format //p' | head -n 1)
  case "$machine:$format" in
    i386:pei-i386 | x86-64:pei-x86-64) ;;
    *) fail "$dll is '$format', expected a $machine DLL" ;;
  esac
fi

# Export names: the lines of the "[Ordinal/Name Pointer] Table" section,
# "\t[   0] Name". Names decorated by the calling convention (_Name, Name@12)
# count as different names.
exports=$(awk '
  /^\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
  in_table && /^[[:space:]]*\[ *[0-9]+\] / { sub(/^[[:space:]]*\[ *[0-9]+\] /, ""); print; next }
  in_table { in_table = 0 }
' <<<"$headers" | LC_ALL=C sort)

missing=$(LC_ALL=C comm -23 <(echo "$expected") <(echo "$exports"))
extra=$(LC_ALL=C comm -13 <(echo "$expected") <(echo "$exports"))
[[ -z $missing ]] || fail "missing exports: $(echo $missing)"
[[ -z $extra ]] || fail "unexpected exports: $(echo $extra)"

# Imported DLLs, "\tDLL Name: KERNEL32.dll". Windows matches them without
# regard to case.
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr -d '\r' | LC_ALL=C sort -u)
if [[ -z $imports ]]; then
  fail "no import table found"
fi
while IFS= read -r name; do
  [[ -n $name ]] || continue
  ok=0
  for allowed in "${allowed_imports[@]}"; do
    if [[ ${name,,} == "${allowed,,}" ]]; then ok=1; fi
  done
  [[ $ok -eq 1 ]] || fail "imports from $name (only ${allowed_imports[*]} are allowed)"
done <<<"$imports"

if [[ $failures -ne 0 ]]; then
  echo "check-dll: $dll: $failures problem(s)" >&2
  exit 1
fi
echo "check-dll: $dll: exports $(echo $exports | wc -w) names as expected; imports $(echo $imports)"

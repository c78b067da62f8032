#!/usr/bin/env bash
# Finds out whether this machine's kernel runs 32-bit x86 programs (IA32
# emulation), which 32-bit wine needs, by running a tiny static i386
# program that only exits with a known code. The kernel of another machine
# may lack the emulation or have it switched off, so nothing is assumed.
#
#   probe-32bit.sh     exit 0: 32-bit programs run
#                      exit 1: they do not (the reason on stdout)
#                      exit 2: the probe could not be built (binutils missing)
set -euo pipefail

for tool in as ld; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "cannot build the 32-bit probe: '$tool' missing (install binutils)"
    exit 2
  fi
done

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# exit(42) through the 32-bit system call gate.
cat >"$dir/probe.s" <<'EOF'
  .globl _start
_start:
  movl $1, %eax
  movl $42, %ebx
  int $0x80
EOF
if ! as --32 -o "$dir/probe.o" "$dir/probe.s" 2>"$dir/err" ||
  ! ld -m elf_i386 -o "$dir/probe" "$dir/probe.o" 2>>"$dir/err"; then
  echo "cannot build the 32-bit probe: $(tr '\n' ' ' <"$dir/err")"
  exit 2
fi

status=0
"$dir/probe" 2>"$dir/err" || status=$?
if [[ $status -eq 42 ]]; then
  exit 0
fi
error=$(sed -n 's/.*probe: //p' "$dir/err" | head -n 1)
if [[ -z $error ]]; then error="exited with $status, not 42"; fi
echo "this kernel does not run 32-bit programs (a static i386 probe: $error)"
exit 1

#!/usr/bin/env bash
# Checks the setup scripts against a package mirror that misbehaves, with
# stub dpkg, apt-get and id first on PATH and the 32-bit probe's answer
# forced by stub as/ld (they pass every other call to the real tools):
#   - install-deps.sh: an update that fails once, a wine32:i386 that cannot
#     be installed, a required package that cannot be had;
#   - test.sh's win32 leg: a missing 32-bit wine with and without
#     install-deps.sh's record that it could not be installed.
# Prints ctest-like counts; exits non-zero when a check fails.
#
#   setup_test.sh WORK_DIR
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$1
rm -rf "$work/stubs" "$work/cases"
mkdir -p "$work/stubs" "$work/cases"
stubs=$work/stubs
real_as=$(command -v as)
real_ld=$(command -v ld)

# Stubs read their behaviour from $STUB (a directory per case): files
# update-fails (how many updates fail before one works), wine32-broken,
# required-broken, no-32bit; they log each apt-get call to $STUB/calls.
cat >"$stubs/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "$*" >>"$STUB/calls"
case "$1" in
  update)
    left=$(cat "$STUB/update-fails" 2>/dev/null || echo 0)
    if ((left > 0)); then
      echo $((left - 1)) >"$STUB/update-fails"
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 127.0.0.1 80]" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi ;;
  install)
    if [[ " $* " == *" wine32:i386 "* && -e $STUB/wine32-broken ]]; then
      echo "The following packages have unmet dependencies:"
      echo " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    fi
    if [[ " $* " == *" cmake "* && -e $STUB/required-broken ]]; then
      echo "E: Unable to locate package cmake" >&2
      exit 100
    fi ;;
esac
exit 0
STUB
cat >"$stubs/dpkg" <<'STUB'
#!/usr/bin/env bash
case "$1" in
  -s) [[ $2 == wine32:i386 || ($2 == cmake && -e $STUB/required-broken) ]] && exit 1; exit 0 ;;
  --print-foreign-architectures) echo i386 ;;
esac
exit 0
STUB
cat >"$stubs/id" <<'STUB'
#!/usr/bin/env bash
echo "${STUB_UID:-0}"
STUB
# The probe builds with `as --32` and `ld -m elf_i386`; its program then
# exits 42 where 32-bit programs run.
cat >"$stubs/as" <<STUB
#!/usr/bin/env bash
[[ " \$* " == *" --32 "* ]] || exec "$real_as" "\$@"
while [[ \$# -gt 0 ]]; do [[ \$1 == -o ]] && : >"\$2"; shift; done
STUB
cat >"$stubs/ld" <<STUB
#!/usr/bin/env bash
[[ " \$* " == *" elf_i386 "* ]] || exec "$real_ld" "\$@"
while [[ \$# -gt 0 ]]; do
  if [[ \$1 == -o ]]; then
    if [[ -e \$STUB/no-32bit ]]; then echo 'exit 1' >"\$2"; else echo 'exit 42' >"\$2"; fi
    chmod +x "\$2"
  fi
  shift
done
STUB
chmod +x "$stubs"/*

# A case passes when every check of it holds.
passed=0
failed=0
failed_names=()  # for the closing list, as ctest prints it
case_failed=0
check() {  # check NAME WHAT-IS-WRONG COMMAND...
  local name=$1 what=$2
  shift 2
  "$@" && return 0
  case_failed=1
  failed_names+=("$name")
  echo "FAILED: $name: $what" >&2
}
end_case() {  # end_case OUTPUT-FILE
  if [[ $case_failed -eq 0 ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    tail -n 30 "$1" | sed 's/^/    | /' >&2
  fi
  case_failed=0
}

# install-deps.sh cases: name | stub settings | exit status | updates made |
# the record it leaves ("-" for none, "reason" for apt's reason below).
record_reason=" wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed
E: Unable to correct problems, you have held broken packages."
install_cases=(
  "update fails once, wine32 installs|update-fails=1|0|2|-"
  "wine32 cannot be installed|wine32-broken|0|3|reason"
  "every update fails, wine32 installs|update-fails=9|0|3|-"
  "a required package cannot be had|required-broken|1|3|-"
  "no 32-bit kernel, stale record stays unread|no-32bit|0|0|stale"
)
for entry in "${install_cases[@]}"; do
  IFS='|' read -r name settings want_status want_updates want_record <<<"$entry"
  case_dir=$work/cases/${name// /_}
  mkdir -p "$case_dir/state"
  IFS=, read -r -a flags <<<"$settings"
  for flag in "${flags[@]}"; do
    if [[ $flag == *=* ]]; then echo "${flag#*=}" >"$case_dir/${flag%%=*}"; else touch "$case_dir/$flag"; fi
  done
  [[ $want_record != stale ]] || echo stale >"$case_dir/state/wine32-not-installed"
  status=0
  STUB=$case_dir PATH=$stubs:$PATH VQLOGGER_DEPS_STATE=$case_dir/state \
    VQLOGGER_APT_TRIES=3 VQLOGGER_APT_PAUSE=0 \
    bash "$root/scripts/install-deps.sh" >"$case_dir/out" 2>&1 || status=$?
  check "$name" "exit status $status, expected $want_status" [ "$status" -eq "$want_status" ]
  updates=$(cat "$case_dir/calls" 2>/dev/null | grep -c '^update')
  check "$name" "$updates updates, expected $want_updates" [ "$updates" -eq "$want_updates" ]
  if [[ $want_record == - ]]; then
    check "$name" "left a record" [ ! -e "$case_dir/state/wine32-not-installed" ]
  else
    [[ $want_record != reason ]] || want_record=$record_reason
    check "$name" "record: $(cat "$case_dir/state/wine32-not-installed" 2>&1)" \
      [ "$(cat "$case_dir/state/wine32-not-installed" 2>&1)" = "$want_record" ]
  fi
  if [[ $want_record == "$record_reason" ]]; then
    check "$name" "no loud line naming the failure" grep -qx '!! install-deps.sh: wine32:i386 could NOT be installed, though this kernel runs 32-bit programs.' "$case_dir/out"
  fi
  end_case "$case_dir/out"
done

# test.sh's win32 leg with 32-bit support forced and no 32-bit wine: with
# the record it passes, having inspected the DLL; without it, it fails under
# --require-windows. It builds the DLL, so it needs the i686 compilers.
if ! command -v i686-w64-mingw32-gcc >/dev/null 2>&1; then
  echo "note: i686-w64-mingw32-gcc missing: test.sh's win32 verdicts are not checked"
else
  leg_cases=(
    "wine32 missing, recorded|record|0|  win32 .* passed   1 passed (DLL inspected only: 32-bit wine could not be installed)"
    "wine32 missing, no record|-|1|test.sh: win32: missing $work/no-wine/wine (required by --require-windows)"
  )
  for entry in "${leg_cases[@]}"; do
    IFS='|' read -r name record want_status want_line <<<"$entry"
    case_dir=$work/cases/${name// /_}
    mkdir -p "$case_dir/state"
    [[ $record == - ]] || echo "$record_reason" >"$case_dir/state/wine32-not-installed"
    status=0
    STUB=$case_dir STUB_UID=1000 PATH=$stubs:$PATH VQLOGGER_DEPS_STATE=$case_dir/state \
      VQLOGGER_WINE32=$work/no-wine/wine \
      bash "$root/scripts/test.sh" --only win32 --require-windows --build-root "$work/build" \
      >"$case_dir/out" 2>&1 || status=$?
    check "$name" "exit status $status, expected $want_status" [ "$status" -eq "$want_status" ]
    check "$name" "no line '$want_line'" grep -qx -- "$want_line" "$case_dir/out"
    if [[ $record != - ]]; then
      check "$name" "the warning lacks apt's reason" grep -qxF -- "!! WARNING: the shipping 32-bit DLL was only inspected, not tested: the kernel runs 32-bit programs, but 32-bit wine could not be installed: $(tr '\n' ' ' <<<"$record_reason" | sed 's/ *$//') (see the win32 leg)" "$case_dir/out"
    fi
    end_case "$case_dir/out"
  done
fi

echo "$((passed * 100 / (passed + failed)))% tests passed, $failed tests failed out of $((passed + failed))"
[[ $failed -eq 0 ]] && exit 0
echo "The following tests FAILED:"
for i in "${!failed_names[@]}"; do echo "  $((i + 1)) - ${failed_names[i]} (Failed)"; done
exit 1

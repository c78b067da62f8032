# Sourced by the scripts that install packages: apt-get with bounded
# retries, for a package mirror that is mid-sync.
#
#   VQLOGGER_APT_TRIES   attempts of each apt-get update/install (default 3)
#   VQLOGGER_APT_PAUSE   seconds between attempts (default 15)

apt_tries=${VQLOGGER_APT_TRIES:-3}
apt_pause=${VQLOGGER_APT_PAUSE:-15}

shout() {
  local line='!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!'
  printf '\n%s\n!! %s: %s\n%s\n\n' "$line" "$(basename "$0")" "$*" "$line" >&2
}

# apt's own reason for a failure: its error lines and the unmet
# dependencies it names, else its last lines.
apt_reason() {
  local reason
  reason=$(grep -E '^(E|W): | : (Pre-)?Depends: ' <<<"$1" || true)
  [[ -n $reason ]] || reason=$(tail -n 5 <<<"$1")
  printf '%s\n' "$reason"
}

# Updates the indexes, a bounded number of times. A failed index is not a
# failed install: what it would have given is missed by the install itself.
apt_update() {
  local try output
  for ((try = 1; ; try++)); do
    if output=$(apt-get update -qq 2>&1); then return 0; fi
    if ((try >= apt_tries)); then
      shout "apt-get update failed $try times; going on with the indexes it has:
$(apt_reason "$output")"
      return 0
    fi
    echo "== apt-get update failed (try $try of $apt_tries); again in $apt_pause s: $(apt_reason "$output" | head -n 1)"
    sleep "$apt_pause"
  done
}

# Installs the packages, a bounded number of times with an update between
# attempts. On failure apt's output is in $apt_output and the status is 1.
apt_output=
apt_install() {
  local try
  for ((try = 1; ; try++)); do
    if apt_output=$(apt-get install -y -qq "$@" 2>&1); then return 0; fi
    ((try < apt_tries)) || return 1
    echo "== apt-get install $* failed (try $try of $apt_tries); again in $apt_pause s: $(apt_reason "$apt_output" | head -n 1)"
    sleep "$apt_pause"
    apt_update
  done
}

#!/usr/bin/env bash
# The system's TLS of the Windows build, under wine, against openssl s_server
# on 127.0.0.1 (a port of the kernel's choosing, the server stopped by its
# pid), with the fleet's certificates from contrib/rsyslog/make-certs.sh.
#
#   schannel_test.sh WinHttpRequest|ConnectTls WINHTTP_PROBE TLS_PROBE MAKE_CERTS WINE_RUN...
#
# WinHttpRequest: a WinHTTP GET over TLS succeeds. ConnectTls: the server is
# verified against the fleet's CA and the client's certificate is accepted
# by a server that demands one; a server of another CA, a wrong name and a
# missing client certificate are refused with their reasons. Exit 77 (a
# skip) without openssl, unless VQLOGGER_REQUIRE_WINDOWS=1.
set -euo pipefail

case_name=$1 winhttp_probe=$2 tls_probe=$3 make_certs=$4
shift 4
wine_run=("$@")

if ! command -v openssl >/dev/null; then
  if [[ ${VQLOGGER_REQUIRE_WINDOWS:-0} == 1 ]]; then
    echo "schannel_test.sh: openssl not found (required by --require-windows)" >&2
    exit 1
  fi
  echo "!! schannel_test.sh: SKIPPED: openssl not found (apt-get install openssl)" >&2
  exit 77
fi

work=$(mktemp -d)
server_pid=
stop_server() {
  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# start_server CERT_DIR [S_SERVER ARGS...]: a -www server with that host
# certificate; sets $port once it listens (10 s at most).
start_server() {
  local dir=$1
  shift
  stop_server
  : >"$work/server.log"
  openssl s_server -accept 127.0.0.1:0 -cert "$dir/cert.pem" -key "$dir/key.pem" -www "$@" \
    >"$work/server.log" 2>&1 </dev/null &
  server_pid=$!
  port=
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.log")
    [[ -z $port ]] || return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/server.log" >&2
  echo "schannel_test.sh: openssl s_server did not start" >&2
  exit 1
}

# wine 8 mishandles numbers shorter than their full width (Windows does not):
# a chain with an ECDSA signature whose r or s has under 32 bytes does not
# verify (status 0x00000008; 2 of 80 fleets here), and an RSA key with a
# number shorter than its DER width is spoiled by the PKCS#12 import (16 of
# 430 keys). So the fleet and the client's key are drawn until none is short.
draw() {  # draw COMMAND: runs COMMAND until it succeeds, 20 times at most
  local try
  for ((try = 0; try < 20; try++)); do "$1" && return 0; done
  echo "schannel_test.sh: $1: nothing wine reads in 20 draws" >&2
  exit 1
}
full_signatures() {  # CERT...: ECDSA, r and s of 32 bytes (printed without leading zeros)
  local cert offset
  for cert in "$@"; do
    offset=$(openssl asn1parse -in "$cert" | tail -n 2 |
      awk -F: 'NR == 1 { ec = /:ecdsa-with-SHA256$/ } NR == 2 && ec && /BIT STRING/ { print $1 + 0 }')
    [[ -n $offset ]] && openssl asn1parse -in "$cert" -strparse "$offset" |
      awk '/INTEGER/ { n++; short += length($NF) != 65 } END { exit short || n != 2 }' || return 1
  done
}
fleet=$work/fleet
fresh_fleet() {
  rm -rf "$fleet"
  bash "$make_certs" "$fleet" central 127.0.0.1 edge1 >/dev/null 2>&1 &&
    full_signatures "$fleet/ca.pem" "$fleet/central/cert.pem" "$fleet/127.0.0.1/cert.pem"
}
draw fresh_fleet
bash "$make_certs" "$work/other" central >/dev/null 2>&1

if [[ $case_name == WinHttpRequest ]]; then
  start_server "$fleet/central"
  status=0
  "${wine_run[@]}" "$winhttp_probe" 127.0.0.1 "$port" >"$work/out" 2>"$work/err" || status=$?
  printf '%s\n' "status 200" '<HTML><BODY BGCOLOR="#ffffff">' >"$work/expected"
  if [[ $status -ne 0 ]] || ! cmp -s "$work/expected" "$work/out"; then
    fail "WinHTTP GET https://127.0.0.1:$port/ (exit $status): $(tr -d '\r' <"$work/err"; cat "$work/out")"
  fi
  exit $((failures > 0))
fi

# An RSA client certificate of the fleet's CA (wine's Schannel presents RSA
# keys only), as PEM and as PKCS#12 in the ciphers every Windows reads.
edge=$work/edge-rsa
mkdir -p "$edge"
rsa_key() {  # `openssl rsa -text` prints each number's DER bytes, a sign 00 included
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$edge/key.pem" 2>/dev/null &&
    openssl rsa -in "$edge/key.pem" -text -noout | awk '/^[a-zA-Z]/ { name = $1; next }
      { gsub(/[ :]/, ""); bytes[name] += length($0) / 2 }
      END { exit !(bytes["modulus:"] >= 256 && bytes["privateExponent:"] >= 256 && bytes["prime1:"] >= 128 &&
                   bytes["prime2:"] >= 128 && bytes["exponent1:"] >= 128 && bytes["exponent2:"] >= 128 &&
                   bytes["coefficient:"] >= 128) }'
}
draw rsa_key
openssl req -x509 -new -key "$edge/key.pem" -subj /CN=edge-rsa \
  -CA "$fleet/ca.pem" -CAkey "$fleet/ca-key.pem" -days 2 -addext subjectAltName=DNS:edge-rsa \
  -addext extendedKeyUsage=clientAuth -out "$edge/cert.pem" 2>/dev/null
openssl pkcs12 -export -in "$edge/cert.pem" -inkey "$edge/key.pem" -out "$edge/cert.p12" \
  -passout pass:p12-secret -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1

accepted='        Subject: CN=edge-rsa'  # the -www page shows the client's certificate
probe_prefix='tls_client_probe: '
# server certificate | client options | exit | expected line (stdout on
# success, the probe's last stderr line on failure)
cases=(
  "$fleet/central|--name central --cert $edge/cert.pem --key $edge/key.pem|0|$accepted"
  "$fleet/central|--name central --cert $edge/cert.p12 --password p12-secret|0|$accepted"
  "$fleet/127.0.0.1|--cert $edge/cert.pem --key $edge/key.pem|0|$accepted"
  "$work/other/central|--name central --cert $edge/cert.pem --key $edge/key.pem|1|${probe_prefix}the server's certificate was not issued by the CA in $fleet/ca.pem (chain status 0x00010000)"
  "$fleet/central|--name other.example --cert $edge/cert.pem --key $edge/key.pem|1|${probe_prefix}the server's certificate (central) is not for the name other.example"
  "$fleet/central|--cert $edge/cert.pem --key $edge/key.pem|1|${probe_prefix}the server's certificate (central) is not for the name 127.0.0.1"
  "$fleet/central|--name central|1|${probe_prefix}the TLS handshake with central failed (InitializeSecurityContext): SEC_E_INTERNAL_ERROR (0x80090304); no client certificate was given"
  "$fleet/central|--name central --cert $edge/cert.p12 --password wrong|1|${probe_prefix}cannot import the PKCS#12 file $edge/cert.p12 (wrong password?): the system gives no reason"
  # The fleet's own EC key: wine 8's key storage provider cannot import it
  # (NTE_NOT_SUPPORTED), and its Schannel reads only RSA keys. Windows does.
  "$fleet/central|--name central --cert $fleet/edge1/cert.pem --key $fleet/edge1/key.pem|1|${probe_prefix}cannot import the EC key of $fleet/edge1/key.pem into Microsoft Software Key Storage Provider: 0x80090029"
)
run_cases() {
  local entry server options want_status want_line status got_line
  for entry in "$@"; do
    IFS='|' read -r server options want_status want_line <<<"$entry"
    start_server "$server" -CAfile "$fleet/ca.pem" -Verify 1
    status=0
    # shellcheck disable=SC2086  # the options are split on purpose
    "${wine_run[@]}" "$tls_probe" 127.0.0.1 "$port" "$fleet/ca.pem" $options \
      >"$work/out" 2>"$work/err" || status=$?
    tr -d '\r' <"$work/err" >"$work/err.lf"
    if [[ $want_status -eq 0 ]]; then
      got_line=$(grep -xF -- "$want_line" "$work/out" || true)
    else
      got_line=$(grep "^$probe_prefix" "$work/err.lf" | tail -n 1 || true)
    fi
    if [[ $status -ne $want_status || $got_line != "$want_line" ]]; then
      fail "$options against $server: exit $status (want $want_status)"$'\n'"  want: $want_line"$'\n'"  got:  $got_line"$'\n'"$(cat "$work/err.lf")"
    fi
  done
}
run_cases "${cases[@]}"

# The same certificate in the user's MY store, as "user:edge-rsa" (after the
# PKCS#12 cases: wine's import puts every key in one default container,
# which their clean-up deletes).
"${wine_run[@]}" "$tls_probe" --uninstall edge-rsa  # a killed run's
"${wine_run[@]}" "$tls_probe" --install "$edge/cert.p12" p12-secret
store_cases=(
  "$fleet/central|--name central --store user:edge-rsa|0|$accepted"
  "$fleet/central|--name central --store user:nobody|1|${probe_prefix}no certificate in the user's MY store has a subject with 'nobody'"
)
run_cases "${store_cases[@]}"
stop_server
"${wine_run[@]}" "$tls_probe" --uninstall edge-rsa

# Every key container made for a PEM key or a PKCS#12 file is gone again.
"${wine_run[@]}" reg query 'HKCU\Software\Wine\Crypto\RSA' /s >"$work/keys" 2>&1 || true
if grep -a 'Crypto\\RSA\\' "$work/keys" >&2; then fail "key containers were left behind"; fi

echo "schannel_test.sh: $((${#cases[@]} + ${#store_cases[@]})) connections, $failures failed"
exit $((failures > 0))

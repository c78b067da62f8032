#!/usr/bin/env bash
# Makes the certificates of a vqlogger fleet with openssl: a CA of its own
# (kept for later hosts) and one certificate per host name, usable by the
# central (server) and by an edge (client).
#
# Usage: make-certs.sh DIR NAME...
#   DIR/ca.pem, DIR/ca-key.pem   the fleet's CA, made once, reused after
#   DIR/NAME/cert.pem, key.pem   host NAME's certificate (subject CN and
#                                subjectAltName NAME) and key
#   DIR/NAME/ca.pem              a copy of the CA's certificate
# Keys are EC P-256; VQLOGGER_KEY_TYPE=rsa makes RSA 2048 keys instead (for
# a Windows edge whose TLS cannot use an EC client key, as under wine).
# Existing files are kept; keys are readable by their owner only. Copy
# DIR/NAME/ to host NAME (the directory VQLOGGER_PKI_DIR of its rsyslogd);
# keep DIR/ca-key.pem off the fleet's machines.
set -euo pipefail

days=${VQLOGGER_CERT_DAYS:-825}
[[ $# -ge 2 ]] || { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0" >&2; exit 2; }
command -v openssl >/dev/null || { echo "make-certs.sh: openssl not found (apt-get install openssl)" >&2; exit 1; }
dir=$1
shift
mkdir -p "$dir"
umask 077

case ${VQLOGGER_KEY_TYPE:-ec} in
  ec) newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; } ;;
  rsa) newkey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; } ;;
  *) echo "make-certs.sh: VQLOGGER_KEY_TYPE must be ec or rsa" >&2; exit 2 ;;
esac

if [[ ! -s $dir/ca.pem ]]; then
  newkey "$dir/ca-key.pem"
  openssl req -x509 -new -key "$dir/ca-key.pem" -days "$days" -subj "/CN=vqlogger fleet CA $(date -u +%Y%m%d%H%M%S)" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out "$dir/ca.pem"
  chmod 644 "$dir/ca.pem"
fi

for name in "$@"; do
  [[ $name =~ ^[A-Za-z0-9][A-Za-z0-9.-]*$ ]] || { echo "make-certs.sh: not a host name: '$name'" >&2; exit 2; }
  host=$dir/$name
  mkdir -p "$host"
  cp "$dir/ca.pem" "$host/ca.pem"
  [[ -s $host/cert.pem ]] && continue
  san=DNS:$name
  [[ $name =~ ^[0-9.]+$ ]] && san+=",IP:$name"
  newkey "$host/key.pem"
  openssl req -new -key "$host/key.pem" -subj "/CN=$name" -out "$host/cert.csr"
  openssl x509 -req -in "$host/cert.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca-key.pem" -CAcreateserial \
    -days "$days" -out "$host/cert.pem" -extfile <(printf '%s\n' "subjectAltName=$san" \
      basicConstraints=CA:FALSE keyUsage=critical,digitalSignature,keyEncipherment \
      extendedKeyUsage=serverAuth,clientAuth) 2>/dev/null
  rm -f "$host/cert.csr"
  chmod 644 "$host/cert.pem" "$host/ca.pem"
  chmod 755 "$host"
done

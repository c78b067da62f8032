# Certificates and keys that wine's TLS reads correctly, for the tests that
# run the Windows build under wine (sourced). wine 8 mishandles a number
# shorter than its full width: an ECDSA P-256 signature whose r or s has
# fewer than 32 bytes does not verify (chain status 0x00000008: 2 of 80
# fleets drawn here, exactly the 2 with a short r or s in the CA's
# self-signature or the server's certificate), and an RSA key with a short
# private number is spoiled by its PKCS#12 import ("The scanning of a large
# integer has failed": 16 of 430 keys). Windows takes both. So the tests
# draw until nothing is short; the fleet's own make-certs.sh is unchanged.

# wine_signatures_full CERT...: each certificate's signature is ECDSA P-256
# with an r and an s of 32 bytes (asn1parse prints them without leading
# zeros); any other signature fails.
wine_signatures_full() {
  local cert offset
  for cert in "$@"; do
    offset=$(openssl asn1parse -in "$cert" | tail -n 2 |
      awk -F: 'NR == 1 { ecdsa = /:ecdsa-with-SHA256$/ } NR == 2 && ecdsa && /BIT STRING/ { print $1 + 0 }')
    [[ -n $offset ]] || return 1
    openssl asn1parse -in "$cert" -strparse "$offset" |
      awk '/INTEGER/ { n++; if (length($NF) != 65) short = 1 } END { exit short || n != 2 }' || return 1
  done
}

# wine_rsa_key_full KEY: none of the RSA 2048 key's numbers is shorter than
# its full width in DER (256 bytes for the modulus and the private exponent,
# 128 for a prime and the CRT numbers; the 00 before a number whose top bit
# is set counts). `openssl rsa -text` prints each number's DER bytes.
wine_rsa_key_full() {
  openssl rsa -in "$1" -text -noout 2>/dev/null | awk '
    /^[a-zA-Z]/ { name = $1; next }
    { gsub(/[ :]/, ""); bytes[name] += length($0) / 2 }
    END { exit !(bytes["modulus:"] >= 256 && bytes["privateExponent:"] >= 256 &&
                 bytes["prime1:"] >= 128 && bytes["prime2:"] >= 128 && bytes["exponent1:"] >= 128 &&
                 bytes["exponent2:"] >= 128 && bytes["coefficient:"] >= 128) }'
}

# wine_draw TRIES WHAT COMMAND...: runs COMMAND until it succeeds, at most
# TRIES times; then fails saying WHAT could not be drawn.
wine_draw() {
  local tries=$1 what=$2 try
  shift 2
  for ((try = 0; try < tries; try++)); do
    "$@" && return 0
  done
  echo "wine_certs.sh: no $what that wine reads in $tries tries" >&2
  return 1
}

#!/usr/bin/env bash
# Source discovery in real Authenticode-signed executables (osslsigncode) under Wine: the
# probe is signed with a certificate that carries a container in a payload extension and
# finds it in its own file; a critical extension is passed over; an unsigned probe finds
# nothing. The container comes from the host tree's payload_make_container.
#   signed_exe.sh <selfsource_probe.exe>
set -euo pipefail
probe=$1
maker=$MSISTUB_HOST_BUILD/payload/tests/payload_make_container
[ -x "$maker" ] || { echo "missing $maker (build the host tree first)" >&2; exit 1; }
work=$(mktemp -d "$MSISTUB_BUILD/payload-signed.XXXXXX")
trap 'rm -rf "$work"' EXIT
oid="1.2.840.113556.1.8000.2554.2951.50896.53846.17503.37240.13145692.12219546"
fail=0

"$maker" "$work/container.bin" "manifest carried by the signer certificate"
hex=$(od -An -v -tx1 "$work/container.bin" | tr -d ' \n')

sign() {  # sign <name> <openssl extension value>
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.crt" \
    -subj "/CN=msistub test $1" -days 2 -addext "$oid=$2" 2>/dev/null
  osslsigncode sign -certs "$work/$1.crt" -key "$work/$1.key" -h sha256 \
    -in "$probe" -out "$work/$1.exe" >/dev/null
}

check() {  # check <name> <exe> <expected output>
  local got
  got=$("$MSISTUB_WINE" "$2" | tr -d '\r')
  if [ "$got" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAIL: $1"; echo "  want: $3" | head -3; echo "  got:  $got" | head -3; fail=1
  fi
}

sign extension "DER:$hex"
check "certificate extension" "$work/extension.exe" \
  "$(printf 'code=0 sources=1\nmanifest[0]=manifest carried by the signer certificate')"

sign critical "critical,DER:$hex"
check "critical extension passed over, no container at the end" "$work/critical.exe" \
  "code=1168 sources=0"

check "unsigned executable" "$probe" "code=1168 sources=0"
exit $fail

#!/usr/bin/env bash
# make demo: packs a demo product into a signed setup.exe and runs it under Wine.
#
# Uses the trees `make build` made (build/host: msistub-pack; build/win64: msistub.exe, the
# launcher). Writes build/demo/: the product (MSI + cabinet), a throwaway code-signing
# certificate, setup.exe (the signed stub with the payload in its certificate table) and a
# Wine prefix of its own, then prints the stub's exit code, the installed files and the
# product's Uninstall entry.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
host=$top/build/host win=$top/build/win64 demo=$top/build/demo
pack=$host/pack/msistub-pack stub=$win/stub/msistub.exe launch=$win/tests/launch.exe
for f in "$pack" "$stub" "$launch"; do
  [ -e "$f" ] || { echo "demo: $f is missing; run 'make build' first" >&2; exit 1; }
done
# The trees are built with the development key unless MSISTUB_PUBLIC_KEY was given.
key=$top/build/devkey/payload-private.pem
grep -q '^MSISTUB_PUBLIC_KEY:FILEPATH=.' "$win/CMakeCache.txt" &&
  { echo "demo: build/win64 was built with a release key; the demo signs with the development key" >&2; exit 1; }
code="{7D1B3E55-0C2A-4F6E-9B8D-31A4C5E6F701}"
rm -rf "$demo"; mkdir -p "$demo"; cd "$demo"

echo "== 1. A demo product: an x64 MSI (wixl) with an external cabinet (gcab)"
"$top/tools/make-product.sh" product --name "msistub Demo" --code "$code" --msi demo.msi --cab demo.cab --size-mb 8
ls -l product

echo "== 2. The stub, signed with a throwaway code-signing certificate (osslsigncode)"
openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.crt -days 30 \
  -subj "/CN=msistub demo signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
osslsigncode sign -certs signer.crt -key signer.key -n "msistub Demo" -in "$stub" -out stub-signed.exe >/dev/null
echo "signed: $(stat -c %s stub-signed.exe) bytes"

echo "== 3. msistub-pack: the payload, compressed and signed, into the certificate table"
# The demo stub is built with the tree's generated development key, which msistub-pack
# accepts only when told to; a release stub is built with -DMSISTUB_PUBLIC_KEY.
"$pack" build --key "$key" --allow-development-key \
  --package "x64:1033:$code:msistub Demo:product/demo.msi" --cab product/demo.cab:1000 \
  --stub stub-signed.exe --out setup.exe
"$pack" inspect setup.exe | tee inspect.txt
# The stub's version information (msistub's own here; see "A branded setup.exe" in the guide).
grep -q '^version info: file version [0-9]*\.[0-9]*\.[0-9]*\.[0-9]*, ' inspect.txt ||
  { echo "demo: setup.exe carries no version information" >&2; exit 1; }
osslsigncode verify -CAfile signer.crt setup.exe 2>&1 | grep -E "Signature verification|Succeeded|Failed" | head -2

echo "== 4. setup.exe /qn under Wine (own prefix build/demo/wineprefix)"
export WINEPREFIX=$demo/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8
. "$top/tests/wine/display.sh"
ensure_display "$demo"
wineboot -i >/dev/null 2>&1 </dev/null; wineserver -w
out=$(wine "$launch" 'Z:'"${demo//\//\\}"'\setup.exe' /qn 2>/dev/null | tr -d '\r')
echo "stub exit code: ${out#exit=}"
echo "installed files:"
ls -l "$WINEPREFIX/drive_c/Program Files/msistub Demo/" 2>/dev/null || echo "  (none)"
echo "Uninstall entry:"
wine reg query "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" 2>/dev/null | tr -d '\r' |
  grep -E "DisplayName|DisplayVersion|UninstallString" || echo "  (none)"
echo "extracted files kept in C:\\windows\\Installer\\$code:"
ls -l "$WINEPREFIX/drive_c/windows/Installer/$code" 2>/dev/null || echo "  (none)"
kept=$WINEPREFIX/drive_c/windows/Installer/$code
if cmp -s "$kept/main.msi" product/demo.msi && cmp -s "$kept/demo.cab" product/demo.cab; then
  echo "  main.msi and demo.cab are byte for byte the packed product/demo.msi and product/demo.cab"
else
  echo "  the kept files differ from the packed product files"
fi
wineserver -k 2>/dev/null || true
stop_display "$demo"
echo "== setup.exe is at $demo/setup.exe"
[ "${out#exit=}" = 0 ]

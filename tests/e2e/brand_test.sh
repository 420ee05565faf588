#!/usr/bin/env bash
# A branded setup from msistub_add_setup (ICON, VERSION, COMPANY, PRODUCT_NAME, DESCRIPTION,
# COPYRIGHT, SIGN): in extension mode and in append mode the setup carries exactly the
# vendor's icon and version information (read back with pefile), extension mode keeps a valid
# Authenticode signature, and the branded setup installs under Wine. Branding without SIGN in
# a signed mode stops at configure time; a signed stub is refused by the branding step.
set -u
. "$(dirname "$0")/lib.sh"
e2e_begin brand
CODE="{5A7E1C3B-2D4F-4A6B-8C9D-0E1F2A3B4C31}"
PYTHON=${MSISTUB_PEFILE_PYTHON:-python3}
ICON=$MSISTUB_SOURCE/res/tests/vendor.ico
forget_product "$CODE"
make_product product --name "Vendor Product" --code "$CODE" --cab vendor.cab --size-mb 1 --seed 31
openssl req -x509 -newkey rsa:2048 -nodes -keyout cert.key -out cert.pem -days 2 \
  -subj "/CN=msistub brand signer" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 ||
  fail "no throwaway certificate"

# configure <dir> <mode> [more -D...]: the branded product project.
configure() {
  local dir=$1 mode=$2; shift 2
  cmake -S "$MSISTUB_SOURCE/cmake/tests/brand-setup" -B "$dir" -G Ninja \
    -Dmsistub_DIR="$MSISTUB_SOURCE/cmake" -DMSISTUB_PACK_EXECUTABLE="$PACK" \
    -DMSI="$E2E_WORK/product/product.msi" -DSTUB="$STUB" -DKEY="$E2E_KEY" -DICON="$ICON" \
    -DCERT="$E2E_WORK/cert.pem" -DCERT_KEY="$E2E_WORK/cert.key" -DMODE="$mode" "$@"
}

check_resources() {  # check_resources <setup>
  "$PYTHON" "$MSISTUB_SOURCE/res/tests/check_branding.py" "$1" --icon "$ICON" --version 2.5.0.17 \
    --company "Vendor Ltd" --product-name "Vendor Product" --description "Vendor Product Setup" \
    --copyright "(c) 2026 Vendor Ltd" --original-filename vendor-setup.exe ||
    fail "$1 does not carry the branding asked for"
}

for mode in extension append; do
  nosign=OFF; [ "$mode" = append ] && nosign=ON  # append mode: no signature at all
  configure "$mode" "$mode" -DNO_SIGN=$nosign >"$mode.log" 2>&1 || fail "configure ($mode): $(cat "$mode.log")"
  cmake --build "$mode" >>"$mode.log" 2>&1 || fail "build ($mode): $(cat "$mode.log")"
  check_resources "$mode/vendor-setup.exe"
  if [ "$mode" = extension ]; then
    osslsigncode verify -CAfile cert.pem "$mode/vendor-setup.exe" >verify.txt 2>&1 ||
      fail "the branded setup's signature does not verify: $(cat verify.txt)"
  fi
  # inspect shows it, as text and as JSON.
  "$PACK" inspect "$mode/vendor-setup.exe" >inspect.txt || fail "inspect: $(cat inspect.txt)"
  expect_eq "inspect's version line ($mode)" "$(grep '^version info:' inspect.txt)" \
    'version info: file version 2.5.0.17, product version 2.5.0.17; CompanyName "Vendor Ltd"; FileDescription "Vendor Product Setup"; InternalName "msistub"; LegalCopyright "(c) 2026 Vendor Ltd"; OriginalFilename "vendor-setup.exe"; ProductName "Vendor Product"'
  "$PACK" inspect --json "$mode/vendor-setup.exe" | python3 -c '
import json, sys
v = json.load(sys.stdin)["versionInfo"]
assert v["fileVersion"] == v["productVersion"] == "2.5.0.17", v
assert v["strings"]["CompanyName"] == "Vendor Ltd" and v["strings"]["OriginalFilename"] == "vendor-setup.exe", v
' || fail "inspect --json: versionInfo differs"
  forget_product "$CODE"
  run_without_box "$E2E_WORK/$mode/vendor-setup.exe" /qn
  expect_eq "exit code of the branded $mode setup" "$EXIT_CODE" 0
  is_registered "$CODE" || fail "the branded $mode setup installed nothing"
  echo "ok: $mode: branded, installs"
done
forget_product "$CODE"

# Branding in a signed mode without SIGN: refused before anything is built.
if configure nosign cert-table -DNO_SIGN=ON >nosign.log 2>&1; then
  fail "branding without SIGN in cert-table mode was accepted"
fi
# (CMake wraps its messages: compare with the lines joined.)
tr '\n' ' ' <nosign.log | tr -s ' ' | grep -q "branding changes the stub, so it must be signed afterwards: give the unsigned stub as STUB and the signing command as SIGN" ||
  fail "no reason for refusing branding without SIGN: $(cat nosign.log)"
# A signed stub: the branding step refuses it and writes nothing.
signed=$(signed_stub) || exit 1
if python3 "$MSISTUB_SOURCE/cmake/msistub-brand.py" stub "$signed" out.exe --version 1.2 2>brand.err; then
  fail "a signed stub was branded"
fi
grep -q "is signed: branding changes the image the signature covers" brand.err ||
  fail "no reason for refusing a signed stub: $(cat brand.err)"
expect_absent "output for a signed stub" out.exe
echo "ok: branding needs an unsigned stub and a signing step"
e2e_end
echo "brand: all cases passed"

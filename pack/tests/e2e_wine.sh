#!/usr/bin/env bash
# End-to-end: msistub-pack (host build) packs a real MSI and cabinet, attaches the container
# to a real Authenticode-signed PE32+ executable in each of the three ways, and the stub's own
# discovery (source_probe.exe, run under Wine) must find the sources as intended; the
# signature must stay valid. Then a bundle of three wixl MSIs becomes a signed setup with
# `make` (facts read from the MSIs), which is reproducible and extracts back to the same files
# (tests/e2e/languages_test.sh installs such a bundle for two user languages); the signing
# orders that work and the ones that do not are checked with osslsigncode. Also runs the
# Windows build of the tool.
#   e2e_wine.sh DEV_PRIVATE_KEY
set -u
dev_key=${1:?dev private key}
dev_public=$(dirname "$dev_key")/payload-public.pem
pack=$MSISTUB_HOST_BUILD/pack/msistub-pack
probe=$MSISTUB_BUILD/pack/tests/source_probe.exe
launch=$MSISTUB_BUILD/tests/launch.exe
pack_exe=$MSISTUB_BUILD/pack/msistub-pack.exe
[ -x "$pack" ] || { echo "FAIL: $pack is missing; build the host tree ($MSISTUB_HOST_BUILD) first"; exit 1; }
work=$MSISTUB_BUILD/pack-e2e
rm -rf "$work"; mkdir -p "$work"; cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected [$2], got [$1]"; }
size() { stat -c %s "$1"; }
probe_run() { "$MSISTUB_WINE" "$probe" "$1" 2>/dev/null | tr -d '\r'; }
# Prints the manifest size inspect reports for a container file.
manifest_size() { "$pack" inspect "$1" | sed -n 's/.*manifest: [0-9]* entries, \([0-9]*\) bytes.*/\1/p' | head -1; }
sig_ok() {
  local out
  out=$(osslsigncode verify -CAfile cc.pem "$1" 2>&1) || { fail "$2: osslsigncode verify failed: $out"; return; }
  echo "$out" | grep -q "Succeeded" || fail "$2: osslsigncode verify did not succeed"
  echo "$out" | grep -qi "invalid PE checksum\|mismatch" && fail "$2: PE checksum: $(echo "$out" | grep -i checksum)"
}

# Real product files, a code-signing certificate, the probe itself as the signed stub.
"$MSISTUB_SOURCE/tools/make-product.sh" prod --size-mb 1 >/dev/null 2>&1 || { echo "FAIL: make-product"; exit 1; }
"$MSISTUB_SOURCE/tools/make-product.sh" prod2 --size-mb 1 --seed 2 --code "{0B6C1B9E-2F7A-4C55-8D1A-5E3F7A9B1C22}" \
  --msi second.msi --cab second.cab >/dev/null 2>&1 || { echo "FAIL: make-product"; exit 1; }
openssl req -x509 -newkey rsa:2048 -nodes -keyout ck.pem -out cc.pem -subj /CN=msistub-e2e -days 2 \
  -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 || { echo "FAIL: openssl req"; exit 1; }
cp "$probe" unsigned.exe
osslsigncode sign -certs cc.pem -key ck.pem -in unsigned.exe -out stub.exe >/dev/null || { echo "FAIL: sign"; exit 1; }

build() {  # build OUT KEY [extra args]
  local out=$1 key=$2; shift 2
  "$pack" build --key "$key" "$@" --container "$out" >/dev/null || fail "build $out"
}
build c1.bin "$dev_key" --package "x64:1033;1031:{6E8A5C2B-1F3D-4B7A-9C1E-2D4F6A8B0C11}:Demo Product:prod/product.msi" \
  --cab prod/product.cab:1000
build c2.bin "$dev_key" --package "x64:1031:{0B6C1B9E-2F7A-4C55-8D1A-5E3F7A9B1C22}:Second:prod2/second.msi" \
  --cab prod2/second.cab:1000
"$pack" keygen --out fresh >/dev/null || fail keygen
build bad.bin fresh.private.pem --package "x64:1033:{B}:Other key:prod/product.msi" --cab prod/product.cab:1000
m1=$(manifest_size c1.bin) m2=$(manifest_size c2.bin)
c1=$(size c1.bin) c2=$(size c2.bin)
[ -n "$m1" ] && [ -n "$m2" ] || fail "inspect gave no manifest size"

# Way 1: behind the signature in the certificate table: one image source.
"$pack" attach --stub stub.exe --container c1.bin --out way1.exe >/dev/null || fail "attach cert-table"
sig_ok way1.exe "cert-table"
expect_eq "$(probe_run way1.exe)" "status 0
source 0 container $(size way1.exe) manifest $m1" "cert-table sources"

# Way 2: certificate extensions, one source per extension, in order.
"$pack" attach --stub stub.exe --mode extension --container c1.bin --container c2.bin --out way2.exe >/dev/null \
  || fail "attach extension"
sig_ok way2.exe "extension"
expect_eq "$(probe_run way2.exe)" "status 0
source 0 container $c1 manifest $m1
source 1 container $c2 manifest $m2" "extension sources"
"$pack" attach --stub stub.exe --mode extension --one-certificate --container c2.bin --container c1.bin \
  --out way2one.exe >/dev/null || fail "attach extension, one certificate"
expect_eq "$(probe_run way2one.exe)" "status 0
source 0 container $c2 manifest $m2
source 1 container $c1 manifest $m1" "two extensions of one certificate"
# A critical extension is passed over.
"$pack" attach --stub stub.exe --mode extension --critical --container c1.bin --out crit1.exe >/dev/null &&
  "$pack" attach --add --stub crit1.exe --mode extension --container c2.bin --out crit.exe >/dev/null ||
  fail "attach critical"
sig_ok crit.exe "critical extension"
expect_eq "$(probe_run crit.exe)" "status 0
source 0 container $c2 manifest $m2" "critical extension passed over"
# A bad manifest signature ends discovery with 1392; the source before it stays.
"$pack" attach --add --stub way2.exe --mode extension --container bad.bin --out badext.exe >/dev/null || fail "attach bad"
expect_eq "$(probe_run badext.exe)" "status 1392
source 0 container $c1 manifest $m1
source 1 container $c2 manifest $m2" "bad manifest signature"

# Way 3: appended to the unsigned stub (no certificate table): the image fallback.
"$pack" attach --stub unsigned.exe --mode append --container c2.bin --out way3.exe >/dev/null || fail "attach append"
expect_eq "$(probe_run way3.exe)" "status 0
source 0 container $(size way3.exe) manifest $m2" "append sources"
# Signed, nothing attached: no extension, no container at the end.
expect_eq "$(probe_run stub.exe)" "status 1168" "signed stub without payload"

# A PE32 header makes the stub ignore the certificate table: the extensions are not seen and
# the container behind the signature is found as the image.
"$pack" attach --add --stub way2.exe --container c2.bin --out both.exe >/dev/null || fail "attach behind extensions"
expect_eq "$(probe_run both.exe)" "status 0
source 0 container $c1 manifest $m1
source 1 container $c2 manifest $m2" "extensions win over the appended container"
cp both.exe pe32.exe
lfanew=$(od -An -tu4 -j60 -N4 pe32.exe | tr -d ' ')
printf '\x0b\x01' | dd of=pe32.exe bs=1 seek=$((lfanew + 24)) conv=notrunc status=none
expect_eq "$(probe_run pe32.exe)" "status 0
source 0 container $(size pe32.exe) manifest $m2" "PE32 falls back to the image"

# Round trip with a fresh key: build straight into the stub, inspect, verify, signature.
"$pack" build --key fresh.private.pem --public-key fresh.public.blob \
  --package "x64:1033:{6E8A5C2B-1F3D-4B7A-9C1E-2D4F6A8B0C11}:Demo Product:prod/product.msi" \
  --cab prod/product.cab:1000 --stub stub.exe --out setup.exe >/dev/null || fail "build into the stub"
"$pack" inspect setup.exe | grep -q "cab\\\\1000\\\\product.cab" || fail "inspect lists the cabinet line"
"$pack" verify --key fresh.public.pem setup.exe >/dev/null || fail "verify with the fresh key"
"$pack" verify --key "$dev_public" setup.exe >/dev/null 2>&1 &&
  fail "verify with another key passed"
sig_ok setup.exe "round trip"

# One command from three MSIs to a signed setup; the same inputs give the same bytes.
code_en="{5A1D0C11-0000-4A00-8000-00000E2E1033}" code_de="{5A1D0C11-0000-4A00-8000-00000E2E1031}"
code_86="{5A1D0C11-0000-4A00-8000-00000E2E0086}"
"$MSISTUB_SOURCE/tools/make-product.sh" b/en64 --size-mb 1 --name "Bundle" --code "$code_en" --lang 1033 \
  --msi app-x64-en.msi --cab app-x64-en.cab >/dev/null 2>&1 &&
"$MSISTUB_SOURCE/tools/make-product.sh" b/de64 --size-mb 1 --seed 2 --name "Bundle" --code "$code_de" --lang 1031 \
  --msi app-x64-de.msi --cab app-x64-de.cab >/dev/null 2>&1 &&
"$MSISTUB_SOURCE/tools/make-product.sh" b/en86 --size-mb 1 --seed 3 --name "Bundle" --code "$code_86" --lang 1033 \
  --arch Intel --msi app-x86-en.msi --cab app-x86-en.cab >/dev/null 2>&1 || { echo "FAIL: make-product"; exit 1; }
msis="b/en64/app-x64-en.msi b/de64/app-x64-de.msi b/en86/app-x86-en.msi"
cp "$MSISTUB_BUILD/stub/msistub.exe" stub-bare.exe
osslsigncode sign -certs cc.pem -key ck.pem -in stub-bare.exe -out stub-real.exe >/dev/null || fail "sign the stub"
# The real stub names its key: the fingerprint of the blob it was built with, and that it is
# the tree's development key, which the tool takes only when told to.
fingerprint=$(sha256sum "$MSISTUB_BUILD/generated/payload-public.blob" | cut -d' ' -f1)
"$pack" inspect stub-real.exe | grep -q "^stub key: $fingerprint (the DEVELOPMENT key" ||
  fail "inspect does not show the stub's key: $("$pack" inspect stub-real.exe 2>&1 | head -3)"
out=$("$pack" make --quiet --stub stub-real.exe --key "$dev_key" --out never.exe b/en64/app-x64-en.msi 2>&1) &&
  fail "a development-key stub was taken without --allow-development-key"
echo "$out" | grep -q "trusts the DEVELOPMENT key its build generated (fingerprint $fingerprint)" ||
  fail "development-key refusal: $out"
out=$("$pack" make --quiet --allow-development-key --stub stub-real.exe --key fresh.private.pem --out never.exe \
  b/en64/app-x64-en.msi 2>&1) && fail "a key the stub does not trust was taken"
echo "$out" | grep -q "fresh.private.pem is not the key stub-real.exe trusts: .* the stub's is $fingerprint" ||
  fail "wrong-key refusal: $out"
[ -e never.exe ] && fail "a refused make wrote its output"
# shellcheck disable=SC2086
"$pack" make --quiet --allow-development-key --stub stub-real.exe --key "$dev_key" --public-key "$dev_public" \
  --out bundle.exe $msis || fail "make bundle.exe"
# shellcheck disable=SC2086
"$pack" make -q --allow-development-key --stub stub-real.exe -k "$dev_key" -o bundle2.exe $msis ||
  fail "make bundle2.exe"
cmp -s bundle.exe bundle2.exe || fail "two makes from the same inputs differ"
sig_ok bundle.exe "signed stub, then cert-table"
expect_eq "$("$pack" inspect --json bundle.exe | python3 -c '
import json, sys
s = json.load(sys.stdin)["sources"][0]
for p in s["packages"]: print(p["id"], p["arch"], p["languages"], p["productCode"], p["productName"])
for c in s["cabinets"]: print(c["id"], c["name"], c["packages"])')" "1000 x64 [1033] $code_en Bundle
1001 x64 [1031] $code_de Bundle
1002 Intel [1033] $code_86 Bundle
1003 app-x64-en.cab [1000]
1004 app-x64-de.cab [1001]
1005 app-x86-en.cab [1002]" "inspect --json of the bundle"
"$pack" extract --quiet --key "$dev_public" --out unpacked bundle.exe || fail "extract bundle.exe"
for pair in "$code_en:b/en64/app-x64-en" "$code_de:b/de64/app-x64-de" "$code_86:b/en86/app-x86-en"; do
  code=${pair%%:*} base=${pair#*:}
  cmp -s "unpacked/$code/main.msi" "$base.msi" || fail "extracted MSI of $code differs"
  cmp -s "unpacked/$code/$(basename "$base").cab" "$base.cab" || fail "extracted cabinet of $code differs"
done

# Signing orders. Sign the bare stub, then attach: the signature stays valid (cert-table above;
# extension here). Attaching with append and signing afterwards gives a valid signature, but
# the signature now ends the file and the payload is no longer found; signing a finished
# setup again drops the payload. Both are reported, not silently accepted.
"$pack" make --quiet --allow-development-key --mode extension --stub stub-real.exe --key "$dev_key" \
  --out ext-a.exe b/en64/app-x64-en.msi &&
  "$pack" make --quiet --allow-development-key --mode extension --stub stub-real.exe --key "$dev_key" \
    --out ext-b.exe b/en64/app-x64-en.msi ||
  fail "make --mode extension"
sig_ok ext-a.exe "signed stub, then extension"
cmp -s ext-a.exe ext-b.exe || fail "two extension-mode makes differ"
expect_eq "$(probe_run ext-a.exe | head -1)" "status 0" "the stub's discovery on the extension setup"
"$pack" make --quiet --allow-development-key --mode append --stub stub-bare.exe --key "$dev_key" --out app.exe \
  b/en64/app-x64-en.msi ||
  fail "make --mode append"
"$pack" verify --key "$dev_public" app.exe >/dev/null || fail "append setup verifies before signing"
osslsigncode sign -certs cc.pem -key ck.pem -in app.exe -out app-signed.exe >/dev/null || fail "sign after append"
sig_ok app-signed.exe "append, then sign"
out=$("$pack" verify --key "$dev_public" app-signed.exe 2>/dev/null) && fail "append then sign: payload still found"
echo "$out" | tail -1 | grep -q "^verdict: the setup will NOT install: .*a payload ends where the signature begins: the file was signed after" ||
  fail "append then sign: verify's verdict does not say why: $out"
osslsigncode sign -certs cc.pem -key ck.pem -in bundle.exe -out resigned.exe >/dev/null 2>&1
"$pack" verify --key "$dev_public" resigned.exe >/dev/null 2>&1 && fail "re-signed setup: payload still found"
out=$("$pack" inspect resigned.exe 2>&1) || fail "inspect of a re-signed setup (a bare stub now) failed: $out"
echo "$out" | grep -q "^payload: none (a bare stub. A finished setup shows this after it was signed again" ||
  fail "inspect of a re-signed setup does not say why: $out"
# What the tool says is what the stub does: both signed-over setups exit 1168 under Wine.
for broken in app-signed.exe resigned.exe; do
  out=$(MSISTUB_LANG=en_US.UTF-8 timeout 300 "$MSISTUB_WINE" "$launch" $broken /qn 2>/dev/null | tr -d '\r')
  expect_eq "$(echo "$out" | sed -n 's/^exit=\([0-9]*\).*/\1/p')" "1168" "$broken /qn"
done

# The signature's size: the stub's message decoder takes at most 64 MiB (measured: an
# extension container of 67,100,013 bytes passes, one of 67,107,013 fails). Just below, the
# stub gets past the signature (the stand-in MSI then fails in msiexec, 1627); just above,
# make warns, verify says it will not install, and the stub exits 0x80093104.
for bytes in 67094000 67102000; do
  { printf '\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1'; head -c $bytes /dev/urandom; } > big$bytes.msi
  out=$("$pack" make --level 0 --allow-development-key --mode extension --stub stub-real.exe --key "$dev_key" \
    --package "x64:1033:{B1G}:Big:big$bytes.msi" --out big$bytes.exe 2>&1) || fail "make big$bytes.exe: $out"
  rm -f big$bytes.msi
  run=$(MSISTUB_LANG=en_US.UTF-8 timeout 300 "$MSISTUB_WINE" "$launch" big$bytes.exe /qn 2>/dev/null | tr -d '\r')
  verdict=$("$pack" verify --key "$dev_public" big$bytes.exe 2>/dev/null | tail -1)
  if [ $bytes = 67094000 ]; then
    echo "$out" | grep -q "warning: the signature" && fail "a signature below 64 MiB was warned about: $out"
    expect_eq "$run" "exit=1627" "big$bytes.exe /qn (below the limit)"
    echo "$verdict" | grep -q "^verdict: the setup will install" || fail "big$bytes.exe: $verdict"
  else
    echo "$out" | grep -q "^warning: the signature, with the containers carried as certificate extensions in it, is 64.00 MiB" ||
      fail "no warning for a signature above 64 MiB: $out"
    expect_eq "$run" "exit=2148086020" "big$bytes.exe /qn (above the limit)"
    echo "$verdict" | grep -q "^verdict: the setup will NOT install: the signature" || fail "big$bytes.exe: $verdict"
  fi
  rm -f big$bytes.exe
done

# A German-only bundle: make and verify warn that en-US users get nothing; with
# --require-fallback make refuses it; on an en_US machine the stub exits 13, as warned.
out=$("$pack" make --allow-development-key --stub stub-real.exe --key "$dev_key" --out de-only.exe \
  b/de64/app-x64-de.msi 2>&1) || fail "make de-only.exe: $out"
echo "$out" | grep -q "^warning: no package for users whose language is en-US 1033, en-GB 2057" ||
  fail "make of a German-only bundle gives no warning: $out"
out=$("$pack" make --require-fallback --allow-development-key --stub stub-real.exe --key "$dev_key" \
  --out never.exe b/de64/app-x64-de.msi 2>&1) && fail "--require-fallback took a German-only bundle"
echo "$out" | grep -q "(refused: --require-fallback)" || fail "--require-fallback refusal: $out"
[ -e never.exe ] && fail "a refused make wrote its output"
"$pack" verify --key "$dev_public" de-only.exe | grep -q "^warning: no package for users whose language is en-US" ||
  fail "verify of a German-only bundle gives no warning"
out=$(MSISTUB_LANG=en_US.UTF-8 timeout 300 "$MSISTUB_WINE" "$launch" de-only.exe /qn 2>/dev/null | tr -d '\r')
expect_eq "$(echo "$out" | sed -n 's/^exit=\([0-9]*\).*/\1/p')" "13" "de-only.exe /qn under en_US"
registered "$code_de" && { fail "de-only.exe installed under en_US"; uninstall "$code_de"; }

# The Windows build of the tool, under Wine, on the same files.
if [ -f "$pack_exe" ]; then
  out=$("$MSISTUB_WINE" "$pack_exe" verify --key fresh.public.blob setup.exe 2>&1 | tr -d '\r')
  echo "$out" | grep -q "1 source(s), 3 record(s), all verified" || fail "msistub-pack.exe verify: $out"
  "$MSISTUB_WINE" "$pack_exe" build --key "$(winepath -w "$dev_key" 2>/dev/null)" \
    --package "x64:1033:{6E8A5C2B-1F3D-4B7A-9C1E-2D4F6A8B0C11}:Demo Product:prod/product.msi" \
    --cab prod/product.cab:1000 --stub stub.exe --out winsetup.exe >/dev/null 2>&1 || fail "msistub-pack.exe build"
  sig_ok winsetup.exe "built by msistub-pack.exe"
  expect_eq "$(probe_run winsetup.exe | head -1)" "status 0" "setup built by msistub-pack.exe"
  "$pack" verify --key "$dev_public" winsetup.exe >/dev/null || fail "host verify of the setup msistub-pack.exe built"
  # The Windows build cannot read the MSI, so it packs one without the cabinet its Media
  # table names; the host's verify (which reads the MSI) says the setup will not install.
  "$MSISTUB_WINE" "$pack_exe" build --key "$(winepath -w "$dev_key" 2>/dev/null)" \
    --package "x64:1033:{6E8A5C2B-1F3D-4B7A-9C1E-2D4F6A8B0C11}:Demo Product:prod/product.msi" \
    --stub stub.exe --out nocab.exe >/dev/null 2>&1 || fail "msistub-pack.exe build without the cabinet"
  out=$("$pack" verify --key "$dev_public" nocab.exe 2>/dev/null) && fail "verify passed a setup without its cabinet"
  echo "$out" | tail -1 | grep -q "NOT install: package 1000 (whole file): its Media table (row 1) names the cabinet \"product.cab\", which the setup does not carry" ||
    fail "verify of a setup without its cabinet: $out"
  # MSI reading is not in the Windows build: it says so and points to the explicit form.
  out=$("$MSISTUB_WINE" "$pack_exe" make --stub stub.exe --key "$(winepath -w "$dev_key" 2>/dev/null)" \
    --out never.exe prod/product.msi 2>&1 | tr -d '\r')
  echo "$out" | grep -q "cannot read MSI files (it has no libmsi); give the package as --package" ||
    fail "msistub-pack.exe make on an MSI: $out"
  [ -e never.exe ] && fail "msistub-pack.exe make wrote a setup without reading the MSI"
  # extract, inspect --json and verify --json of the Windows build on the host-made bundle.
  "$MSISTUB_WINE" "$pack_exe" extract --quiet --key "$(winepath -w "$dev_public" 2>/dev/null)" --out winout \
    bundle.exe >/dev/null 2>&1 || fail "msistub-pack.exe extract"
  diff -r unpacked winout >/dev/null || fail "msistub-pack.exe extract differs from the host's"
  out=$("$MSISTUB_WINE" "$pack_exe" verify --json --key fresh.public.blob setup.exe 2>/dev/null | tr -d '\r')
  echo "$out" | grep -q '"records": 3, "verified": true' || fail "msistub-pack.exe verify --json: $out"
  out=$("$MSISTUB_WINE" "$pack_exe" inspect --json bundle.exe 2>/dev/null | tr -d '\r')
  echo "$out" | python3 -c 'import json,sys; assert len(json.load(sys.stdin)["sources"][0]["packages"]) == 3' ||
    fail "msistub-pack.exe inspect --json: $out"
  "$MSISTUB_WINE" "$pack_exe" make --quiet --allow-development-key --mode extension --stub stub-real.exe \
    --key "$(winepath -w "$dev_key" 2>/dev/null)" --package "x64:1033:$code_en:Bundle:b/en64/app-x64-en.msi" \
    --cab b/en64/app-x64-en.cab:1000 --out ext-win.exe >/dev/null 2>&1 || fail "msistub-pack.exe make --package"
  cmp -s ext-a.exe ext-win.exe || fail "the Windows build's extension setup differs from the host build's"
  # keygen: the private key is created with a protected, owner-only access list. Wine keeps
  # no access lists, but maps the one a file is created with onto its Unix mode: the private
  # key gives others nothing, while the public files (created with the inherited default) do.
  "$MSISTUB_WINE" "$pack_exe" keygen --out winkey >/dev/null 2>&1 || fail "msistub-pack.exe keygen"
  mode=$(stat -c %a winkey.private.pem 2>/dev/null)
  [ -n "$mode" ] && [ $((8#$mode & 8#007)) -eq 0 ] || fail "msistub-pack.exe keygen: private key mode $mode"
  mode=$(stat -c %a winkey.public.pem 2>/dev/null)
  [ -n "$mode" ] && [ $((8#$mode & 8#004)) -ne 0 ] || fail "msistub-pack.exe keygen: public key mode $mode"
  "$pack" build --key winkey.private.pem --package "x64:1033:{B}:Win key:prod/product.msi" \
    --cab prod/product.cab:1000 --container winkey.bin >/dev/null 2>&1 || fail "the key msistub-pack.exe made does not sign"
  "$pack" verify --key winkey.public.blob winkey.bin >/dev/null || fail "msistub-pack.exe keygen: blob does not verify"
fi

if [ $failures -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "all end-to-end checks passed"

#!/usr/bin/env bash
# Where the payload travels and what a changed payload does:
#   cert-table  the container behind the PKCS#7 signature (the default): installs
#   extension   the container in a certificate extension: installs
#   large       the certificate table with 64 MiB behind the signature: installs
#   all keep a valid Authenticode signature (osslsigncode verify)
# Changed payloads are run by tests/reliability/tamper_wine.sh.
set -u
. "$(dirname "$0")/lib.sh"
e2e_begin payload
CODE="{9D4E6F80-1A2B-4C3D-8E4F-5A6B7C8D9E01}" NAME="msistub E2E Payload"
forget_product "$CODE"
make_product product --name "$NAME" --code "$CODE" --size-mb 3
package="x64:1033:$CODE:$NAME:product/product.msi"
pack cert-table.exe --package "$package" --cab product/product.cab:1000
pack extension.exe --package "$package" --cab product/product.cab:1000 --mode extension
# 64 MiB behind the signature (more than Wine's decoder takes in one message): the same
# product with a cabinet of 64 MiB (its incompressible tail).
make_product large --name "$NAME" --code "$CODE" --size-mb 64
pack large.exe --package "x64:1033:$CODE:$NAME:large/product.msi" --cab large/product.cab:1000
expect_eq "source of cert-table.exe" "$("$PACK" inspect cert-table.exe | grep -o '^source 0: whole file')" "source 0: whole file"
expect_eq "source of extension.exe" "$("$PACK" inspect extension.exe | grep -o '^source 0: certificate [0-9]*, extension')" \
  "source 0: certificate 2, extension"

for setup in cert-table.exe extension.exe large.exe; do
  out=$(osslsigncode verify -CAfile cert.pem "$setup" 2>&1) || fail "$setup: osslsigncode verify: $out"
  echo "$out" | grep -q "^Signature verification: ok" || fail "$setup: signature not verified: $out"
  forget_product "$CODE"
  run_without_box "$E2E_WORK/$setup"
  expect_eq "exit code of $setup" "$EXIT_CODE" 0
  is_registered "$CODE" || fail "$setup did not install"
  from=product
  [ $setup != large.exe ] || from=large
  expect_same_file "$setup: MSI extracted" "$(installer_dir "$CODE")/main.msi" $from/product.msi
  expect_same_file "$setup: cabinet extracted" "$(installer_dir "$CODE")/product.cab" $from/product.cab
  echo "ok: $setup installs, signature valid"
done
forget_product "$CODE"

e2e_end
echo "payload: all cases passed"

#!/usr/bin/env bash
# One setup with three packages (x64 1033, x64 1031, Intel 1033), each a product of its own,
# made by `msistub-pack make` from the three MSIs (package facts read from them), run by a
# German and by an American user: each gets the package the selection passes choose for a
# 64-bit system, exit code 0, only that product is installed, and its MSI is kept unchanged.
set -u
. "$(dirname "$0")/lib.sh"
e2e_begin languages
EN64="{5A7E1C3B-2D4F-4A6B-8C9D-0E1F2A3B4C01}"
DE64="{5A7E1C3B-2D4F-4A6B-8C9D-0E1F2A3B4C02}"
EN32="{5A7E1C3B-2D4F-4A6B-8C9D-0E1F2A3B4C03}"
forget_product "$EN64" "$DE64" "$EN32"
make_product en64 --name "msistub E2E English" --code "$EN64" --cab en64.cab --size-mb 1 --seed 11
make_product de64 --name "msistub E2E Deutsch" --code "$DE64" --lang 1031 --cab de64.cab --size-mb 1 --seed 12
make_product en32 --name "msistub E2E English 32" --code "$EN32" --arch Intel --cab en32.cab --size-mb 1 --seed 13
pack_msis languages.exe en64/product.msi de64/product.msi en32/product.msi

# installed_products: which of the three are registered, in a fixed order.
installed_products() {
  local code
  for code in "$EN64" "$DE64" "$EN32"; do is_registered "$code" && echo "$code"; done
}

# Each run: the locale, the product it must install and that product's MSI.
for run in "de_DE.UTF-8 $DE64 de64/product.msi" "en_US.UTF-8 $EN64 en64/product.msi"; do
  set -- $run
  forget_product "$EN64" "$DE64" "$EN32"
  MSISTUB_LANG=$1 run_without_box "$E2E_WORK/languages.exe" /qn
  expect_eq "exit code for $1" "$EXIT_CODE" 0
  expect_eq "products installed for $1" "$(installed_products)" "$2"
  expect_same_file "MSI extracted for $1" "$(installer_dir "$2")/main.msi" "$3"
  echo "ok: $1 installs $2"
done
forget_product "$EN64" "$DE64" "$EN32"
e2e_end
echo "languages: all cases passed"

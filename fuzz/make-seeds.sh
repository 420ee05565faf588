#!/usr/bin/env bash
# Seeds made by the packaging tool itself: containers built with `msistub-pack build` from
# small stand-in files, written with each target's header bytes into <seeds>/<target>/.
#
#   fuzz/make-seeds.sh <msistub-pack> <seeds-dir> <private-key.pem>
set -euo pipefail
pack=$1 seeds=$2 key=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Stand-ins with the headers the tool checks: an MSI's compound-file header, a cabinet's MSCF.
msi='\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1'
printf "${msi}stand-in MSI database for the 64-bit package" >x64.msi
printf "${msi}stand-in MSI database for the 32-bit package" >x86.msi
printf 'MSCF stand-in cabinet shared by both packages' >shared.cab
printf 'MSCF stand-in cabinet of the 64-bit package' >x64.cab
"$pack" build --key "$key" --package 'x64:1033;1031:{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}:Tool Product:x64.msi' \
  --package 'Intel:1033:{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F1}:Tool Product x86:x86.msi' \
  --cab shared.cab:1000\;1001 --cab x64.cab:1000 --container two.bin >/dev/null
"$pack" build --key "$key" --package 'x64:1041:{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F2}:One:x64.msi' \
  --container one.bin >/dev/null

# put <target> <name> <header as printf escapes> <file>
put() {
  mkdir -p "$seeds/$1"
  { printf "$3"; cat "$4"; } >"$seeds/$1/$2"
}
for c in one two; do
  put container "tool-$c-manifest" '\x00\x00\x00\x00\x00' $c.bin
  put container "tool-$c-file-1000" '\x01\xe8\x03\x00\x00' $c.bin
  put record "tool-$c-manifest" '\x00\x00\x00\x00\x00\x00\x00' $c.bin
  put record "tool-$c-file-1000" '\x01\xe8\x03\x00\x00\x00\x00' $c.bin
  put sources "tool-$c" '' $c.bin
  put pack "tool-$c" '' $c.bin
done
put record tool-two-file-1003 '\x01\xeb\x03\x00\x00\x00\x00' two.bin

#!/usr/bin/env bash
# Makes a real MSI product with wixl and an external cabinet with gcab.
#
#   make-product.sh OUTDIR [options]
#     --name NAME          product name                      (default "Demo Product")
#     --code GUID          product code, with braces         (default a fixed demo code)
#     --lang LCID          ProductLanguage / Template language (default 1033)
#     --arch x64|Intel     platform                          (default x64)
#     --size-mb N          size of the binary file in MiB    (default 3)
#     --cab NAME           cabinet file name                 (default product.cab)
#     --msi NAME           MSI file name                     (default product.msi)
#     --fail-unless PROP   a launch condition: the install fails (1603) unless PROP is set
#     --record-prop PROP   write the value of PROP into the registry value
#                          HKLM\Software\msistub-test\<code>\PROP at install time
#     --seed N             seed of the generated content       (default 1)
#     --store              an uncompressed cabinet (gcab without -z)
#     --second-cab NAME    a second cabinet (Media row 2) of the same size, with other files
#                          (content of seed N+1)
#     --mix blocks         every file made of 64 KiB blocks instead: half text-like, 30 %
#                          zeros, 20 % random, the kind of each block drawn from the seed
#
# Writes OUTDIR/<msi> and OUTDIR/<cab> (and the second cabinet); a cabinet holds a
# binary-like file, a text-like file and (with --size-mb) an incompressible tail, all
# deterministic for the seed.
set -euo pipefail
out=${1:?usage: make-product.sh OUTDIR [options]}; shift
name="Demo Product" code="{6E8A5C2B-1F3D-4B7A-9C1E-2D4F6A8B0C11}" lang=1033 arch=x64
size=3 cab=product.cab msi=product.msi fail="" record="" seed=1 zip=-z cab2="" mix=files
while [ $# -gt 0 ]; do
  case $1 in
    --name) name=$2; shift 2 ;;
    --code) code=$2; shift 2 ;;
    --lang) lang=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --size-mb) size=$2; shift 2 ;;
    --cab) cab=$2; shift 2 ;;
    --msi) msi=$2; shift 2 ;;
    --fail-unless) fail=$2; shift 2 ;;
    --record-prop) record=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --store) zip=""; shift ;;
    --second-cab) cab2=$2; shift 2 ;;
    --mix) mix=$2; shift 2 ;;
    *) echo "make-product: unknown option $1" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
# Content: text-like lines, binary-like structured data, and an incompressible part.
content() {
python3 - "$1" "$size" "$2" "$3" "$mix" <<'PY'
import random, sys, os
d, size, seed, suffix, mix = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
r = random.Random(seed)
words = ["install", "package", "feature", "component", "registry", "folder", "value", "product",
         "update", "service", "config", "version", "license", "readme", "setup", "module"]
if mix == "blocks":
    # The same three files and sizes, each a run of 64 KiB blocks of one kind apiece.
    block = 64 * 1024
    third = size * 1024 * 1024 // 3
    for name, total in ((f"readme{suffix}.txt", third), (f"engine{suffix}.dll", third),
                        (f"data{suffix}.bin", size * 1024 * 1024 - 2 * third)):
        with open(os.path.join(d, name), "wb") as f:
            n = 0
            while n < total:
                k = min(block, total - n)
                kind = r.random()
                if kind < 0.5:
                    text = []
                    length = 0
                    while length < k:
                        line = " ".join(r.choice(words) for _ in range(r.randint(4, 14))) + "\n"
                        text.append(line); length += len(line)
                    f.write("".join(text).encode()[:k])
                elif kind < 0.8:
                    f.write(b"\0" * k)
                else:
                    f.write(r.randbytes(k))
                n += k
    sys.exit(0)
with open(os.path.join(d, f"readme{suffix}.txt"), "w") as f:
    n = 0
    while n < size * 1024 * 1024 // 3:
        line = " ".join(r.choice(words) for _ in range(r.randint(4, 14))) + "\n"
        f.write(line); n += len(line)
with open(os.path.join(d, f"engine{suffix}.dll"), "wb") as f:
    total = size * 1024 * 1024 // 3
    table = bytes(r.getrandbits(8) for _ in range(4096))
    chunks = []
    n = 0
    while n < total:
        k = r.randint(16, 512)
        off = r.randint(0, 4096 - k)
        chunk = table[off:off + k] if r.random() < 0.7 else bytes(r.getrandbits(8) for _ in range(k // 4)) + b"\0" * (k - k // 4)
        chunks.append(chunk); n += len(chunk)
    f.write(b"".join(chunks)[:total])
with open(os.path.join(d, f"data{suffix}.bin"), "wb") as f:
    f.write(r.randbytes(size * 1024 * 1024 - 2 * (size * 1024 * 1024 // 3)))
PY
}
content "$work" "$seed" ""
[ -n "$cab2" ] && content "$work" "$((seed + 1))" 2
platform_attr="" win64="no" pf="ProgramFilesFolder"
if [ "$arch" = x64 ]; then win64="yes"; pf="ProgramFiles64Folder"; fi
media2="" second="" secondref=""
if [ -n "$cab2" ]; then
  cguid2=$(python3 -c "import uuid,sys; print('{%s}' % str(uuid.uuid5(uuid.NAMESPACE_URL, sys.argv[1])).upper())" "$code-second")
  media2="<Media Id=\"2\" Cabinet=\"$cab2\" EmbedCab=\"no\"/>"
  second="<Component Id=\"Second\" Guid=\"$cguid2\" Win64=\"$win64\" DiskId=\"2\"><File Id=\"readme2.txt\" Source=\"readme2.txt\" KeyPath=\"yes\"/><File Id=\"engine2.dll\" Source=\"engine2.dll\"/><File Id=\"data2.bin\" Source=\"data2.bin\"/></Component>"
  secondref="<ComponentRef Id=\"Second\"/>"
fi
condition=""
[ -n "$fail" ] && condition="<Condition Message=\"This test product installs only with $fail set.\">$fail</Condition>"
regcomp=""
regref=""
if [ -n "$record" ]; then
  regcomp="<Component Id=\"Record\" Guid=\"*\" Win64=\"$win64\"><RegistryValue Root=\"HKLM\" Key=\"Software\\msistub-test\\$code\" Name=\"$record\" Type=\"string\" Value=\"[$record]\" KeyPath=\"yes\"/></Component>"
  regref="<ComponentRef Id=\"Record\"/>"
fi
cguid=$(python3 -c "import uuid,sys; print('{%s}' % str(uuid.uuid5(uuid.NAMESPACE_URL, sys.argv[1])).upper())" "$code-main")
upgrade=$(python3 -c "import uuid,sys; print('{%s}' % str(uuid.uuid5(uuid.NAMESPACE_URL, sys.argv[1])).upper())" "$code-upgrade")
cat > "$work/product.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$code" Name="$name" Language="$lang" Version="1.0.0" Manufacturer="msistub tests" UpgradeCode="$upgrade">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    $condition
    <Media Id="1" Cabinet="$cab" EmbedCab="no"/>
    $media2
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="$pf">
        <Directory Id="INSTALLDIR" Name="$name">
          <Component Id="Main" Guid="$cguid" Win64="$win64">
            <File Id="readme.txt" Source="readme.txt" KeyPath="yes"/>
            <File Id="engine.dll" Source="engine.dll"/>
            <File Id="data.bin" Source="data.bin"/>
          </Component>
          $regcomp
          $second
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="Main"/>$secondref$regref</Feature>
  </Product>
</Wix>
WXS
wixl_arch=x64; [ "$arch" = Intel ] && wixl_arch=x86
( cd "$work" && wixl -a "$wixl_arch" -o "$work/$msi" product.wxs 2>/dev/null )
# wixl keeps only ASCII strings: names beyond ASCII are written again into a database whose
# string pool is UTF-8 (code page 65001), as Windows Installer reads it.
if LC_ALL=C grep -q '[^ -~]' <<<"$name$cab"; then
  for table in Media Property Directory; do
    msiinfo export "$work/$msi" "$table" >"$work/$table.idt"
  done
  python3 - "$work" "$name" "$cab" <<'PY'
import sys
work, name, cab = sys.argv[1:]
def patch(table, key, column, value):
    path = f"{work}/{table}.idt"
    lines = open(path, encoding="utf-8", newline="").read().split("\r\n")
    index = lines[0].split("\t").index(column)
    for i, line in enumerate(lines[3:], 3):
        fields = line.split("\t")
        if fields[0] == key:
            fields[index] = value
            lines[i] = "\t".join(fields)
    open(path, "w", encoding="utf-8", newline="").write("\r\n".join(lines))
patch("Media", "1", "Cabinet", cab)
patch("Property", "ProductName", "Value", name)
patch("Directory", "INSTALLDIR", "DefaultDir", name)
open(f"{work}/_ForceCodepage.idt", "w", newline="").write("\r\n\r\n65001\t_ForceCodepage\r\n")
PY
  for table in _ForceCodepage Media Property Directory; do
    msibuild "$work/$msi" -i "$work/$table.idt" >/dev/null
  done
fi
# wixl gives every Media row the last file's sequence; the first cabinet holds files 1-3 only.
if [ -n "$cab2" ]; then
  msiinfo export "$work/$msi" Media >"$work/Media.idt"
  sed -i 's/^1\t6\t/1\t3\t/' "$work/Media.idt"
  msibuild "$work/$msi" -i "$work/Media.idt" >/dev/null
fi
( cd "$work" && gcab -c $zip "$work/$cab" readme.txt engine.dll data.bin )
mv "$work/$msi" "$work/$cab" "$out/"
if [ -n "$cab2" ]; then
  ( cd "$work" && gcab -c $zip "$work/$cab2" readme2.txt engine2.dll data2.bin )
  mv "$work/$cab2" "$out/"
fi

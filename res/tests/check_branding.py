#!/usr/bin/env python3
"""Reads a stub's version information and icon back with pefile and compares them with what
was asked for.

    check_branding.py <stub.exe> --version 1.2.3.4 [--company C] [--product-name P]
                      [--description D] [--copyright C] [--original-filename F]
                      [--icon vendor.ico | --own-icon]

Checks the fixed part (file and product version, VOS_NT_WINDOWS32, VFT_APP), every string of
the 040904B0 table against the values given (all eight strings must be there: CompanyName,
FileDescription, FileVersion, InternalName, LegalCopyright, OriginalFilename, ProductName,
ProductVersion) and the translation 1033/1200. With --icon, the icon group APP must hold
exactly the images of that .ico file (sizes, depths and bytes, in its order); with
--own-icon, the 13 images msistub draws. Exits 1 with the differences.
"""
import argparse
import struct
import sys

import pefile

errors = []


def check(cond, what):
    if not cond:
        errors.append(what)
    return cond


def ico_images(path):
    data = open(path, "rb").read()
    count = struct.unpack_from("<H", data, 4)[0]
    out = []
    for i in range(count):
        w, h, colors, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        out.append(((w, h, colors, planes, bits, size), data[offset:offset + size]))
    return out


def resources(pe):
    out = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        tkey = str(t.name) if t.name is not None else t.id
        for n in t.directory.entries:
            nkey = str(n.name) if n.name is not None else n.id
            for l in n.directory.entries:
                d = l.data.struct
                out[(tkey, nkey, l.id)] = pe.get_data(d.OffsetToData, d.Size)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("--version", required=True)
    for name in ("company", "product-name", "description", "copyright", "original-filename"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--icon")
    ap.add_argument("--own-icon", action="store_true")
    a = ap.parse_args()

    pe = pefile.PE(a.exe)
    numbers = [int(p) for p in a.version.split(".")]
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    if check(fixed is not None, "no VERSIONINFO resource"):
        ms, ls = (numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]
        check((fixed.FileVersionMS, fixed.FileVersionLS) == (ms, ls),
              "file version %#x.%#x, want %s" % (fixed.FileVersionMS, fixed.FileVersionLS, a.version))
        check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (ms, ls), "product version")
        check(fixed.FileOS == 0x40004 and fixed.FileType == 1, "file OS %#x type %d" % (fixed.FileOS, fixed.FileType))
    want = {"CompanyName": a.company, "FileDescription": a.description, "FileVersion": a.version,
            "InternalName": "msistub", "LegalCopyright": a.copyright,
            "OriginalFilename": a.original_filename, "ProductName": a.product_name,
            "ProductVersion": a.version}
    tables, translations = {}, []
    for info in getattr(pe, "FileInfo", [[]])[0] if getattr(pe, "FileInfo", None) else []:
        for st in getattr(info, "StringTable", []):
            tables[st.LangID.decode()] = {k.decode(): v.decode() for k, v in st.entries.items()}
        for var in getattr(info, "Var", []):
            translations.append(var.entry)
    check(list(tables) == ["040904B0"], "string tables %r" % list(tables))
    got = tables.get("040904B0", {})
    check(got == want, "strings %r, want %r" % (got, want))
    check(translations == [{b"Translation": "0x0409 0x04b0"}], "translations %r" % translations)

    res = resources(pe)
    check([k for k in res if k[0] == 16] == [(16, 1, 1033)], "version resources %r" % [k for k in res if k[0] == 16])
    group = res.get((14, "APP", 1033))
    if check(group is not None, "no icon group APP in language 1033"):
        count = struct.unpack_from("<H", group, 4)[0]
        images = []
        for i in range(count):
            w, h, colors, _, planes, bits, size, rid = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            images.append(((w, h, colors, planes, bits, size), res.get((3, rid, 1033))))
        if a.icon:
            check(images == ico_images(a.icon),
                  "icon group APP holds %r, want the images of %s" % ([m for m, _ in images], a.icon))
        if a.own_icon:
            check(len(images) == 13 and [(m[0] or 256, m[4]) for m, _ in images][7] == (256, 32),
                  "icon group APP is not msistub's own: %r" % [m for m, _ in images])
        check([k for k in res if k[0] == 14] == [(14, "APP", 1033)], "other icon groups")
        check(sum(1 for k in res if k[0] == 3) == count, "icon images outside the group")
    for e in errors:
        print("FAIL:", e)
    print("%s: %s" % (a.exe, "as asked" if not errors else "%d difference(s)" % len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

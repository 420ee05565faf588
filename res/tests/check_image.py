#!/usr/bin/env python3
"""Checks a built msistub.exe: PE32+ GUI image, terminal-server aware, its import DLLs (and
CreateProcessW, never CreateProcessA), and its resources.

    check_image.py <msistub.exe> [<payload public key blob> ON|OFF [vendor-icon]]

With the blob, also checks the MSISTUB_KEY resource: its fingerprint and development flag.
With vendor-icon (a stub built with MSISTUB_ICON), msistub's own icon images are not expected.

Reads the file itself (headers, import and delay-import directories, resource tree), so it
checks what the linker and the resource compiler produced. Prints the import lists; exits 1
with the reasons on any difference.
"""
import struct
import sys
import xml.etree.ElementTree as ET

# DLLs that Windows always maps from the system directory, whatever the search order
# (HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs, plus the loader's own).
KNOWN_DLLS = {
    "ntdll.dll", "kernel32.dll", "kernelbase.dll", "advapi32.dll", "clbcatq.dll", "combase.dll",
    "comdlg32.dll", "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll",
}
# Further system DLLs the stub may use; they are delay-loaded, resolved only after the DLL
# search has been limited to the system directory.
DELAY_DLLS = {"comctl32.dll", "crypt32.dll", "bcrypt.dll", "version.dll", "uxtheme.dll"}

STRINGS = {
    100: "Windows Installer is required for this installation package. The Microsoft\u00ae "
         "Windows\u00ae Installer (MSI) is the application installation and configuration "
         "service for Windows. To continue this installation, start it again when Windows "
         "Installer is installed on your computer.",
    101: "The installation file is either corrupted or does not support your processor "
         "architecture.",
    102: "Select a folder where you want to extract the installation files:",
    103: "Preparing for installation",
}
ICONS = [(32, 4), (16, 4), (64, 8), (48, 8), (32, 8), (24, 8), (16, 8),
         (256, 32), (64, 32), (48, 32), (32, 32), (24, 32), (16, 32)]
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
LANG_EN_US = 1033
errors = []


def check(cond, what):
    if not cond:
        errors.append(what)
    return cond


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise SystemExit("not an MZ file")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise SystemExit("no PE signature")
        self.machine, nsec, _, _, _, optsize, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.dll_characteristics = struct.unpack_from("<H", data, opt + 70)[0]
        ndirs = struct.unpack_from("<I", data, opt + 108)[0] if self.magic == 0x20B else 0
        self.dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(ndirs)]
        self.sections = []
        sec = opt + optsize
        for i in range(nsec):
            _, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("rva %#x outside every section" % rva)

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def imports(self):
        rva, size = self.dirs[1] if len(self.dirs) > 1 else (0, 0)
        names = []
        o = self.off(rva) if rva else None
        while o is not None:
            name = struct.unpack_from("<IIIII", self.data, o)[3]
            if not name:
                break
            names.append(self.cstr(name).lower())
            o += 20
        return names

    def imported_functions(self):
        """Names of the functions imported by name, through the import lookup tables."""
        rva, _ = self.dirs[1] if len(self.dirs) > 1 else (0, 0)
        names = set()
        o = self.off(rva) if rva else None
        while o is not None:
            lookup, _, _, name, iat = struct.unpack_from("<IIIII", self.data, o)
            if not name:
                break
            t = self.off(lookup or iat)
            while True:
                thunk = struct.unpack_from("<Q", self.data, t)[0]
                if not thunk:
                    break
                if not thunk & (1 << 63):
                    names.add(self.cstr((thunk & 0x7FFFFFFF) + 2))
                t += 8
            o += 20
        return names

    def delay_imports(self):
        """DLL names of the delay-import descriptors. GNU ld leaves the delay-import directory
        empty for dlltool's delay libraries, so the sections are searched for descriptors:
        attributes 1 (RVA based), then the RVAs of the DLL name, module handle, IAT and INT."""
        names = []
        for va, size, raw in self.sections:
            for o in range(raw, raw + size - 32, 4):
                attrs, name, hmod, iat, names_rva = struct.unpack_from("<IIIII", self.data, o)
                if attrs != 1 or not name or not hmod or not iat or not names_rva:
                    continue
                try:
                    dll = self.cstr(name)
                    self.off(hmod), self.off(iat), self.off(names_rva)
                except (ValueError, UnicodeDecodeError):
                    continue
                if dll.lower().endswith(".dll") and dll.lower() not in names:
                    names.append(dll.lower())
        return names

    def resources(self):
        rva, _ = self.dirs[2] if len(self.dirs) > 2 else (0, 0)
        out = {}
        if not rva:
            return out
        base = self.off(rva)

        def entries(o):
            named, ids = struct.unpack_from("<HH", self.data, o + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
                if key & 0x80000000:
                    so = base + (key & 0x7FFFFFFF)
                    n = struct.unpack_from("<H", self.data, so)[0]
                    key = self.data[so + 2:so + 2 + 2 * n].decode("utf-16-le")
                yield key, target

        for rtype, t1 in entries(base):
            for name, t2 in entries(base + (t1 & 0x7FFFFFFF)):
                for lang, t3 in entries(base + (t2 & 0x7FFFFFFF)):
                    drva, dsize = struct.unpack_from("<II", self.data, base + t3)
                    o = self.off(drva)
                    out[(rtype, name, lang)] = self.data[o:o + dsize]
        return out


def check_strings(res):
    block = res.get((6, 100 // 16 + 1, LANG_EN_US))
    if not check(block is not None, "no string table block for ids 96-111 in language 1033"):
        return
    o = 0
    for sid in range(96, 112):
        n = struct.unpack_from("<H", block, o)[0]
        text = block[o + 2:o + 2 + 2 * n].decode("utf-16-le")
        o += 2 + 2 * n
        check(text == STRINGS.get(sid, ""), "string %d is %r" % (sid, text))
    check(sorted(k for k in res if k[0] == 6) == [(6, 7, LANG_EN_US)],
          "other string blocks: %r" % sorted(k for k in res if k[0] == 6))


def check_manifest(res):
    data = res.get((24, 1, LANG_EN_US))
    if not check(data is not None, "no manifest (type 24, id 1, language 1033)"):
        return
    check([k for k in res if k[0] == 24] == [(24, 1, LANG_EN_US)], "more than one manifest")
    root = ET.fromstring(data)
    v1 = "{urn:schemas-microsoft-com:asm.v1}"
    v3 = "{urn:schemas-microsoft-com:asm.v3}"
    cv1 = "{urn:schemas-microsoft-com:compatibility.v1}"
    ident = root.find(v1 + "assemblyIdentity")
    check(ident is not None and ident.attrib == {"version": "0.0.0.0", "name": "Generic Program",
                                                 "type": "Win32"},
          "assembly identity %r" % (ident.attrib if ident is not None else None))
    desc = root.find(v1 + "description")
    check(desc is not None and desc.text == "Generic Program", "description")
    level = root.find("%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                      % (v3, v3, v3, v3))
    check(level is not None and level.attrib == {"level": "requireAdministrator",
                                                 "uiAccess": "false"},
          "execution level %r" % (level.attrib if level is not None else None))
    deps = root.findall("%sdependency/%sdependentAssembly/%sassemblyIdentity" % (v1, v1, v1))
    want = {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}
    check([d.attrib for d in deps] == [want], "dependencies %r" % [d.attrib for d in deps])
    oses = [e.get("Id") for e in root.findall("%scompatibility/%sapplication/%ssupportedOS"
                                              % (cv1, cv1, cv1))]
    check(oses == SUPPORTED_OS, "supported OS ids %r" % oses)


def check_icons(res):
    groups = [k for k in res if k[0] == 14]
    check(groups == [(14, "APP", LANG_EN_US)], "icon groups %r (want only the named APP)" % groups)
    data = res.get((14, "APP", LANG_EN_US))
    if data is None:
        return
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    check(reserved == 0 and kind == 1, "icon group header")
    found = []
    for i in range(count):
        w, h, colors, _, planes, bits, size, rid = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        w, h = w or 256, h or 256
        found.append((w, bits))
        check(w == h, "icon %d not square" % i)
        image = res.get((3, rid, LANG_EN_US))
        if not check(image is not None and len(image) == size, "icon image %d missing or sized wrong" % rid):
            continue
        if w == 256:
            ok = image[:8] == b"\x89PNG\r\n\x1a\n" and image[12:16] == b"IHDR"
            if check(ok, "256x256 image is not PNG"):
                pw, ph, depth, ctype = struct.unpack_from(">IIBB", image, 16)
                check((pw, ph, depth, ctype) == (256, 256, 8, 6), "PNG header %r" % ((pw, ph, depth, ctype),))
        else:
            hsize, bw, bh, _, bbits = struct.unpack_from("<IiiHH", image, 0)
            check((hsize, bw, bh, bbits) == (40, w, 2 * w, bits),
                  "icon %d header %r for %dx%d@%d" % (rid, (hsize, bw, bh, bbits), w, w, bits))
    check(found == ICONS, "icon images %r" % found)


def check_key(res, blob_path, development):
    """The MSISTUB_KEY resource: "MSKF", version 1, the development flag, SHA-256 of the blob."""
    import hashlib
    data = res.get((10, "MSISTUB_KEY", LANG_EN_US))
    if not check(data is not None, "no RCDATA MSISTUB_KEY resource in language 1033"):
        return
    want = b"MSKF" + struct.pack("<II", 1, 1 if development else 0) + \
        hashlib.sha256(open(blob_path, "rb").read()).digest()
    check(data == want, "MSISTUB_KEY is %s, expected %s" % (data.hex(), want.hex()))


def main():
    img = Image(open(sys.argv[1], "rb").read())
    check(img.machine == 0x8664, "machine %#x is not x64" % img.machine)
    check(img.magic == 0x20B, "not PE32+ (magic %#x)" % img.magic)
    check(img.subsystem == 2, "subsystem %d is not GUI (2)" % img.subsystem)
    imports, delayed = img.imports(), img.delay_imports()
    print("imports:", " ".join(imports))
    print("delay imports:", " ".join(delayed) or "(none)")
    for dll in imports:
        check(dll in KNOWN_DLLS, "%s is imported directly but is not a known DLL" % dll)
    for dll in delayed:
        check(dll in KNOWN_DLLS or dll in DELAY_DLLS, "%s is delay-loaded but no system DLL" % dll)
    # The installer is started with a UTF-16 command line: no code page conversion.
    functions = img.imported_functions()
    check("CreateProcessW" in functions, "CreateProcessW is not imported")
    check("CreateProcessA" not in functions, "CreateProcessA is imported")
    check(img.dll_characteristics & 0x8000,
          "not terminal-server aware (DllCharacteristics %#x)" % img.dll_characteristics)
    res = img.resources()
    check_strings(res)
    check_manifest(res)
    if "vendor-icon" not in sys.argv[4:]:  # a stub built with MSISTUB_ICON has other images
        check_icons(res)
    if len(sys.argv) > 3:
        check_key(res, sys.argv[2], sys.argv[3] == "ON")
    print("resources:", ", ".join("%s/%s/%s" % k for k in sorted(res, key=str)))
    for e in errors:
        print("FAIL:", e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

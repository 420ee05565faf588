#!/usr/bin/env python3
"""The stub's version information and icon: one definition for the stub build and for
msistub_add_setup.

    msistub-brand.py versioninfo OUT.bin [FIELDS]
        writes the VERSIONINFO resource's data (type 16, id 1), for the resource script of
        the stub build (cmake: MSISTUB_VERSION and the other MSISTUB_* options)
    msistub-brand.py icon OUT.ico [--icon FILE.ico]
        copies FILE.ico to OUT.ico after checking it is an icon file (nothing else is written)
    msistub-brand.py stub IN.exe OUT.exe [--icon FILE.ico] [FIELDS]
        writes a copy of an unsigned stub whose icon group APP holds FILE.ico's images and whose
        VERSIONINFO holds FIELDS (msistub_add_setup with ICON, VERSION, ...)

FIELDS: --version A.B.C.D (one to four numbers of 0-65535; missing ones are 0),
--company, --product-name, --description, --copyright, --original-filename. A field that is
not given takes msistub's own value (the stub command: the value in IN.exe's VERSIONINFO).

The stub command rebuilds the resource section: every other resource stays as it is, the
section keeps its place and the base relocations (the one section GNU ld puts behind it)
move up behind it. A signed stub is refused (its signature would no longer match: brand the
unsigned stub, then sign), and so is an image with data behind its last section. Errors go
to stderr with exit code 1; OUT is written only when everything succeeded (through a
temporary file renamed into place).
"""
import os
import re
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
LANG_EN_US = 1033
DEFAULTS = {
    "version": "1.0.0.0",
    "company": "msistub",
    "product_name": "msistub",
    "description": "msistub setup bootstrapper",
    "copyright": "msistub developers",
    "original_filename": "msistub.exe",
}
FIELD_OPTIONS = {"--version": "version", "--company": "company", "--product-name": "product_name",
                 "--description": "description", "--copyright": "copyright",
                 "--original-filename": "original_filename"}


class BrandError(Exception):
    pass


# ---------------------------------------------------------------- VERSIONINFO
def parse_version(text):
    if not re.fullmatch(r"\d{1,5}(\.\d{1,5}){0,3}", text or ""):
        raise BrandError("version %r: give one to four numbers separated by dots (1.2.3.4)" % text)
    parts = [int(p) for p in text.split(".")]
    if any(p > 65535 for p in parts):
        raise BrandError("version %r: each number must be 65535 or less" % text)
    return (parts + [0, 0, 0])[:4]


def _pad4(data):
    return data + b"\0" * (-len(data) % 4)


def _block(key, value, wtype, children=b"", value_length=None):
    """One VERSIONINFO node: length, value length, type, key, padding, value, children."""
    head = struct.pack("<HHH", 0, 0, wtype) + (key + "\0").encode("utf-16-le")
    body = _pad4(head) + value
    if children:
        body = _pad4(body) + children
    if value_length is None:
        value_length = len(value) // 2 if wtype == 1 else len(value)
    return struct.pack("<HH", len(body), value_length) + body[4:]


def versioninfo(fields):
    """The VS_VERSIONINFO block for `fields` (keys of DEFAULTS)."""
    numbers = parse_version(fields["version"])
    dotted = "%d.%d.%d.%d" % tuple(numbers)
    ms, ls = (numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, 0,
                        0x00040004,  # VOS_NT_WINDOWS32
                        1,           # VFT_APP
                        0, 0, 0)
    strings = [("CompanyName", fields["company"]), ("FileDescription", fields["description"]),
               ("FileVersion", dotted), ("InternalName", "msistub"),
               ("LegalCopyright", fields["copyright"]),
               ("OriginalFilename", fields["original_filename"]),
               ("ProductName", fields["product_name"]), ("ProductVersion", dotted)]
    children = b""
    for key, value in strings:
        if any(ord(c) < 0x20 for c in value):
            raise BrandError("%s %r: control characters are not allowed" % (key, value))
        if len(value) > 255:
            raise BrandError("%s: at most 255 characters (%d given)" % (key, len(value)))
        children += _pad4(_block(key, (value + "\0").encode("utf-16-le"), 1))
    table = _block("040904B0", b"", 1, children)  # 1033, Unicode
    string_info = _block("StringFileInfo", b"", 1, _pad4(table))
    var = _block("Translation", struct.pack("<HH", LANG_EN_US, 1200), 0)
    var_info = _block("VarFileInfo", b"", 1, _pad4(var))
    return _block("VS_VERSION_INFO", fixed, 0, _pad4(string_info) + var_info)


def read_versioninfo_strings(data):
    """The string values of a VS_VERSIONINFO block (key -> value)."""
    out = {}

    def walk(o, end, depth):
        while o + 6 <= end:
            length, vlen, wtype = struct.unpack_from("<HHH", data, o)
            if length < 6:
                return
            k = o + 6
            key_end = k
            while data[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = data[k:key_end].decode("utf-16-le")
            v = (key_end + 2 + 3) & ~3
            if depth == 3 and wtype == 1:
                out[key] = data[v:v + 2 * vlen].decode("utf-16-le").rstrip("\0")
            elif depth < 3:
                child = (v + (vlen if wtype == 0 else 2 * vlen) + 3) & ~3
                if key in ("VS_VERSION_INFO", "StringFileInfo") or depth == 2:
                    walk(child, o + length, depth + 1)
            o = (o + length + 3) & ~3

    walk(0, len(data), 0)
    return out


# ---------------------------------------------------------------- icons
def read_ico(path):
    """The images of an .ico file: [(group entry without its id, image bytes)]."""
    try:
        data = open(path, "rb").read()
    except OSError as e:
        raise BrandError("%s: %s" % (path, e.strerror))
    if len(data) < 6 or struct.unpack_from("<HHH", data, 0)[:2] != (0, 1):
        raise BrandError("%s: not an icon (.ico) file" % path)
    count = struct.unpack_from("<H", data, 4)[0]
    if count == 0 or len(data) < 6 + 16 * count:
        raise BrandError("%s: an icon file without images, or cut short" % path)
    images = []
    for i in range(count):
        w, h, colors, res, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if size == 0 or offset + size > len(data):
            raise BrandError("%s: image %d lies outside the file" % (path, i + 1))
        images.append((struct.pack("<BBBBHHI", w, h, colors, res, planes, bits, size),
                       data[offset:offset + size]))
    return images


# ---------------------------------------------------------------- PE resources
class Pe:
    def __init__(self, data, path):
        self.data, self.path = bytearray(data), path
        if data[:2] != b"MZ":
            raise BrandError("%s: not a Windows executable" % path)
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise BrandError("%s: not a PE image" % path)
        self.nsec = struct.unpack_from("<H", data, self.pe + 6)[0]
        optsize = struct.unpack_from("<H", data, self.pe + 20)[0]
        self.opt = self.pe + 24
        if struct.unpack_from("<H", data, self.opt)[0] != 0x20B:
            raise BrandError("%s: not a 64-bit (PE32+) image" % path)
        self.sec_align, self.file_align = struct.unpack_from("<II", data, self.opt + 32)
        self.dirs = self.opt + 112
        self.sec_table = self.opt + optsize

    def directory(self, i):
        return struct.unpack_from("<II", self.data, self.dirs + 8 * i)

    def set_directory(self, i, rva, size):
        struct.pack_into("<II", self.data, self.dirs + 8 * i, rva, size)

    def section(self, i):
        o = self.sec_table + 40 * i
        name = bytes(self.data[o:o + 8]).rstrip(b"\0").decode("ascii", "replace")
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", self.data, o + 8)
        return name, vsize, va, rawsize, rawptr

    def set_section(self, i, vsize, va, rawsize, rawptr):
        struct.pack_into("<IIII", self.data, self.sec_table + 40 * i + 8, vsize, va, rawsize, rawptr)

    def off(self, rva):
        for i in range(self.nsec):
            _, vsize, va, rawsize, rawptr = self.section(i)
            if va <= rva < va + max(vsize, rawsize):
                return rawptr + rva - va
        raise BrandError("%s: resource data outside every section" % self.path)


def read_resources(pe, base_rva):
    base = pe.off(base_rva)
    data = pe.data
    out = {}

    def entries(o):
        named, ids = struct.unpack_from("<HH", data, o + 12)
        for i in range(named + ids):
            key, target = struct.unpack_from("<II", data, o + 16 + 8 * i)
            if key & 0x80000000:
                so = base + (key & 0x7FFFFFFF)
                n = struct.unpack_from("<H", data, so)[0]
                key = bytes(data[so + 2:so + 2 + 2 * n]).decode("utf-16-le")
            yield key, target

    for rtype, t1 in entries(base):
        for name, t2 in entries(base + (t1 & 0x7FFFFFFF)):
            for lang, t3 in entries(base + (t2 & 0x7FFFFFFF)):
                drva, dsize, codepage, _ = struct.unpack_from("<IIII", data, base + (t3 & 0x7FFFFFFF))
                o = pe.off(drva)
                out[(rtype, name, lang)] = (bytes(data[o:o + dsize]), codepage)
    return out


def write_resources(resources, section_rva):
    """A resource section for `resources` ({(type, name, lang): (bytes, codepage)}) at
    `section_rva`: directories, names, data entries, then the data (8-byte aligned)."""
    def order(keys):  # named entries first, sorted case-insensitively; then ids ascending
        named = sorted((k for k in keys if isinstance(k, str)), key=lambda s: s.upper())
        return named + sorted(k for k in keys if not isinstance(k, str))

    tree = {}
    for (t, n, l) in resources:
        tree.setdefault(t, {}).setdefault(n, []).append(l)
    # Layout: directories, then name strings, then data entries, then data.
    def dir_size(n):
        return 16 + 8 * n
    offsets = {(): 0}
    size = dir_size(len(tree))
    for t in order(tree):
        offsets[(t,)] = size; size += dir_size(len(tree[t]))
    for t in order(tree):
        for n in order(tree[t]):
            offsets[(t, n)] = size; size += dir_size(len(tree[t][n]))
    names = {}
    for key in [k for t in tree for k in [t] + list(tree[t])]:
        if isinstance(key, str) and key not in names:
            names[key] = size
            size += 2 + 2 * len(key)
    size = (size + 3) & ~3
    entries = {}
    for t in order(tree):
        for n in order(tree[t]):
            for l in sorted(tree[t][n]):
                entries[(t, n, l)] = size; size += 16
    datas = {}
    for k in entries:
        size = (size + 7) & ~7
        datas[k] = size; size += len(resources[k][0])
    out = bytearray(size)

    def put_dir(o, keys, target_of, leaf=False):
        named = sum(1 for k in keys if isinstance(k, str))
        struct.pack_into("<IIHHHH", out, o, 0, 0, 0, 0, named, len(keys) - named)
        for i, k in enumerate(keys):
            key = (0x80000000 | names[k]) if isinstance(k, str) else k
            target = target_of(k) if leaf else (0x80000000 | target_of(k))
            struct.pack_into("<II", out, o + 16 + 8 * i, key, target)

    put_dir(offsets[()], order(tree), lambda t: offsets[(t,)])
    for t in order(tree):
        put_dir(offsets[(t,)], order(tree[t]), lambda n, t=t: offsets[(t, n)])
        for n in order(tree[t]):
            put_dir(offsets[(t, n)], sorted(tree[t][n]), lambda l, t=t, n=n: entries[(t, n, l)], leaf=True)
    for name, o in names.items():
        struct.pack_into("<H", out, o, len(name))
        out[o + 2:o + 2 + 2 * len(name)] = name.encode("utf-16-le")
    for k, o in entries.items():
        data, codepage = resources[k]
        struct.pack_into("<IIII", out, o, section_rva + datas[k], len(data), codepage, 0)
        out[datas[k]:datas[k] + len(data)] = data
    return bytes(out)


def pe_checksum(data, checksum_offset):
    total = 0
    padded = bytes(data) + b"\0" * (len(data) % 2)
    for i in range(0, len(padded), 2):
        if i == checksum_offset or i == checksum_offset + 2:
            continue
        total += padded[i] | (padded[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def align(value, to):
    return (value + to - 1) // to * to


def brand_stub(in_path, out_path, icon, fields):
    try:
        pe = Pe(open(in_path, "rb").read(), in_path)
    except OSError as e:
        raise BrandError("%s: %s" % (in_path, e.strerror))
    if pe.directory(4)[0] or pe.directory(4)[1]:
        raise BrandError("%s is signed: branding changes the image the signature covers. Brand the "
                         "unsigned stub, then sign the result" % in_path)
    sections = [pe.section(i) for i in range(pe.nsec)]
    rsrc_rva, _ = pe.directory(2)
    index = [i for i, s in enumerate(sections) if s[2] == rsrc_rva]
    if not rsrc_rva or not index:
        raise BrandError("%s: no resource section" % in_path)
    ri = index[0]
    behind = sections[ri + 1:]
    if any(s[0] != ".reloc" for s in behind):
        raise BrandError("%s: sections other than .reloc follow the resources (%s)"
                         % (in_path, ", ".join(s[0] for s in behind)))
    end_of_sections = max(s[4] + s[3] for s in sections)
    if len(pe.data) > end_of_sections:
        raise BrandError("%s: carries data behind its last section (a payload?); brand the stub "
                         "before packing" % in_path)

    resources = read_resources(pe, rsrc_rva)
    old_version = [v for k, v in resources.items() if k[0] == RT_VERSION]
    current = dict(DEFAULTS)
    if old_version:
        strings = read_versioninfo_strings(old_version[0][0])
        for field, key in (("company", "CompanyName"), ("product_name", "ProductName"),
                           ("description", "FileDescription"), ("copyright", "LegalCopyright"),
                           ("original_filename", "OriginalFilename")):
            if key in strings:
                current[field] = strings[key]
        # The version from the fixed part (behind the header and the key VS_VERSION_INFO).
        block = old_version[0][0]
        if len(block) >= 56 and struct.unpack_from("<I", block, 40)[0] == 0xFEEF04BD:
            ms, ls = struct.unpack_from("<II", block, 48)
            current["version"] = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    current.update({k: v for k, v in fields.items() if v is not None})
    for k in [k for k in resources if k[0] == RT_VERSION]:
        del resources[k]
    resources[(RT_VERSION, 1, LANG_EN_US)] = (versioninfo(current), 0)

    if icon:
        group_keys = [k for k in resources if k[0] == RT_GROUP_ICON and k[1] == "APP"]
        if not group_keys:
            raise BrandError("%s: no icon group APP to replace" % in_path)
        gkey = group_keys[0]
        old_group = resources[gkey][0]
        count = struct.unpack_from("<H", old_group, 4)[0]
        for i in range(count):
            rid = struct.unpack_from("<H", old_group, 6 + 14 * i + 12)[0]
            resources.pop((RT_ICON, rid, gkey[2]), None)
        used = {k[1] for k in resources if k[0] == RT_ICON}
        group = struct.pack("<HHH", 0, 1, len(icon))
        next_id = 1
        for entry, image in icon:
            while next_id in used:
                next_id += 1
            used.add(next_id)
            group += entry + struct.pack("<H", next_id)
            resources[(RT_ICON, next_id, gkey[2])] = (image, 0)
        resources[gkey] = (group, resources[gkey][1])

    original = bytes(pe.data)
    _, _, va, _, rawptr = sections[ri]
    section = write_resources(resources, va)
    raw = align(len(section), pe.file_align)
    pe.set_section(ri, len(section), va, raw, rawptr)
    pe.set_directory(2, va, len(section))
    # The base relocations hold RVAs of other sections only: they move as they are.
    reloc_rva, reloc_size = pe.directory(5)
    next_va, next_raw = align(va + len(section), pe.sec_align), rawptr + raw
    tail = b""
    for j, (name, vsize, sva, rawsize, srawptr) in enumerate(behind, start=ri + 1):
        if reloc_rva == sva:
            pe.set_directory(5, next_va, reloc_size)
        pe.set_section(j, vsize, next_va, rawsize, next_raw)
        tail += original[srawptr:srawptr + rawsize]
        next_va, next_raw = align(next_va + max(vsize, rawsize), pe.sec_align), next_raw + rawsize
    pe.data = pe.data[:rawptr] + section + b"\0" * (raw - len(section)) + tail
    struct.pack_into("<I", pe.data, pe.opt + 56, next_va)  # SizeOfImage
    struct.pack_into("<I", pe.data, pe.opt + 64, pe_checksum(pe.data, pe.opt + 64))
    write_atomically(out_path, bytes(pe.data))


def write_atomically(path, data):
    tmp = "%s.tmp%d" % (path, os.getpid())
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except OSError as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise BrandError("%s: %s" % (path, e.strerror))


def main(argv):
    if len(argv) < 3 or argv[1] not in ("versioninfo", "icon", "stub"):
        sys.stderr.write(__doc__)
        return 2
    command, positional, icon_path, fields = argv[1], [], None, {}
    args = argv[2:]
    i = 0
    while i < len(args):
        a = args[i]
        if a in FIELD_OPTIONS or a == "--icon":
            if i + 1 >= len(args):
                raise BrandError("%s needs a value" % a)
            if a == "--icon":
                icon_path = args[i + 1] or None
            else:
                fields[FIELD_OPTIONS[a]] = args[i + 1] if args[i + 1] != "" else None
            i += 2
        elif a.startswith("--"):
            raise BrandError("unknown option %s" % a)
        else:
            positional.append(a)
            i += 1
    want = {"versioninfo": 1, "icon": 1, "stub": 2}[command]
    if len(positional) != want:
        raise BrandError("%s takes %d file name(s)" % (command, want))
    if fields.get("version") is not None:
        parse_version(fields["version"])
    if command == "versioninfo":
        values = dict(DEFAULTS)
        values.update({k: v for k, v in fields.items() if v is not None})
        write_atomically(positional[0], versioninfo(values))
    elif command == "icon":
        if not icon_path:
            raise BrandError("icon needs --icon FILE.ico")
        read_ico(icon_path)
        write_atomically(positional[0], open(icon_path, "rb").read())
    else:
        icon = read_ico(icon_path) if icon_path else None
        brand_stub(positional[0], positional[1], icon, fields)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except BrandError as e:
        sys.stderr.write("msistub-brand: %s\n" % e)
        sys.exit(1)

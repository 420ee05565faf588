#!/usr/bin/env python3
"""Writes a payload container to the plain layout, as another packaging tool might: records
of zlib-compressed (level 9) content, each signed with RSASSA-PKCS1-v1_5 over the SHA-256 of
its decoded bytes, the manifest record first; the manifest's entries carry no digest field.

    plain_container.py KEY.pem OUT [--into SIGNED_STUB] ID:TEXT:FILE...

Each ID:TEXT:FILE makes a manifest entry ID with TEXT and a FileRecord ID holding FILE. With
--into, OUT is SIGNED_STUB with the container behind the PKCS#7 signature in its certificate
table, ending at the file's last byte (msistub-pack refuses to attach such a container, as
the stub refuses it).
"""
import struct
import subprocess
import sys
import zlib

MANIFEST = bytes.fromhex("f7bbd5ee84121946918cf0cb8ee28b55")
FILE = bytes.fromhex("d98c24a196ef6b4392bfc00bad727e63")


def record(key, kind, rid, content):
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=content,
                               stdout=subprocess.PIPE, check=True).stdout
    assert len(signature) == 256, "an RSA-2048 key is needed"
    data = zlib.compress(content, 9)
    return data + signature + kind + struct.pack("<III", rid, len(signature), len(data))


def into_certificate_table(stub, container):
    """The signed stub with `container` behind its signature, the table sized to match."""
    image = bytearray(stub)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    directory = pe + 24 + 144  # PE32+ optional header, data directory 4 (security)
    offset, _ = struct.unpack_from("<II", image, directory)
    signature = image[offset + 8:]
    assert signature[0] == 0x30 and signature[1] == 0x82, "a DER SEQUENCE with a 2-byte length"
    signature = signature[:4 + struct.unpack(">H", signature[2:4])[0]]
    used = 8 + len(signature) + len(container)
    padded = (used + 7) // 8 * 8
    header = struct.pack("<I", padded) + image[offset + 4:offset + 8]
    out = image[:offset] + header + signature + bytes(padded - used) + container
    struct.pack_into("<I", out, directory + 4, padded)
    return bytes(out)


def main():
    args = sys.argv[1:]
    stub = None
    if "--into" in args:
        at = args.index("--into")
        with open(args[at + 1], "rb") as f:
            stub = f.read()
        del args[at:at + 2]
    key, out, specs = args[0], args[1], args[2:]
    manifest, files = b"", b""
    for spec in specs:
        rid, text, path = spec.split(":", 2)
        encoded = (text + "\0").encode("utf-16-le")
        manifest += struct.pack("<II", int(rid), len(encoded)) + encoded
        with open(path, "rb") as f:
            files += record(key, FILE, int(rid), f.read())
    container = record(key, MANIFEST, 0, manifest) + files
    with open(out, "wb") as f:
        f.write(into_certificate_table(stub, container) if stub else container)


main()

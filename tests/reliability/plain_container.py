#!/usr/bin/env python3
"""Writes a payload container to the plain layout, as another packaging tool might: records
of zlib-compressed (level 9) content, each signed with RSASSA-PKCS1-v1_5 over the SHA-256 of
its decoded bytes, the manifest record first; the manifest's entries carry no digest field.

    plain_container.py KEY.pem OUT ID:TEXT:FILE...

Each ID:TEXT:FILE makes a manifest entry ID with TEXT and a FileRecord ID holding FILE.
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


def main():
    key, out, specs = sys.argv[1], sys.argv[2], sys.argv[3:]
    manifest, files = b"", b""
    for spec in specs:
        rid, text, path = spec.split(":", 2)
        encoded = (text + "\0").encode("utf-16-le")
        manifest += struct.pack("<II", int(rid), len(encoded)) + encoded
        with open(path, "rb") as f:
            files += record(key, FILE, int(rid), f.read())
    with open(out, "wb") as f:
        f.write(record(key, MANIFEST, 0, manifest) + files)


main()

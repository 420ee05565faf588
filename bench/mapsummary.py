#!/usr/bin/env python3
"""Summarises a GNU ld map file (-Wl,-Map): bytes of the output's input sections by archive
(or object), largest first.   mapsummary.py MAP [TOP]"""
import re
import sys
from collections import defaultdict

def summarise(path):
    sizes = defaultdict(int)
    in_map = False
    pending = None  # a section name alone on its line; address/size/file follow on the next
    line_re = re.compile(r'^ (\.\S+|COMMON)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$')
    for line in open(path, errors='replace'):
        if line.startswith('Linker script and memory map'):
            in_map = True
            continue
        if not in_map:
            continue
        if line.startswith('/DISCARD/'):
            break
        stripped = line.rstrip('\n')
        if re.match(r'^ \.\S+$', stripped):
            pending = stripped.strip()
            continue
        m = line_re.match(stripped)
        if m and (m.group(1) or pending):
            name = m.group(1) or pending
            pending = None
            if name.startswith('.debug') or name.startswith('.stab'):
                continue
            addr, size, origin = int(m.group(2), 16), int(m.group(3), 16), m.group(4).strip()
            if addr == 0 or size == 0:
                continue
            am = re.match(r'(.*?)\((.*)\)$', origin)
            key = am.group(1).rsplit('/', 1)[-1] if am else origin.rsplit('/', 1)[-1]
            sizes[key] += size
        else:
            pending = None
    return sizes

if __name__ == '__main__':
    sizes = summarise(sys.argv[1])
    top = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    total = sum(sizes.values())
    for key, size in sorted(sizes.items(), key=lambda kv: -kv[1])[:top]:
        print(f'{size:10d} {100.0 * size / total:5.1f}% {key}')
    print(f'{total:10d} total')

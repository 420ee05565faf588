#!/usr/bin/env python3
"""The packaging tool's rows of the bench table.

  5c. zlib level 9 of one 256 MiB cabinet on one core (bench_floor deflate)
  5d. msistub-pack build of the same cabinet on 2 threads (--jobs 2, default level 8 and
      segment size 1 MiB), timed interleaved with 5c; target <= 0.6 x 5c
  5e. the cabinet's record as the tool stores it against one libdeflate stream of the same
      bytes at the same level (bench_pack); target <= 1.005 (zlib's full-flush segments of
      the same bytes beside it)
  5f. the tool's peak memory (VmHWM, /usr/bin/time -v) packing a 1 GiB cabinet (64 KiB blocks
      of the second data mix: make-product.sh --mix blocks); target <= 256 MiB

make bench runs them from run.py (bench_packer(run_module)). Alone:

    nice python3 bench/pack_rows.py

builds msistub-pack, bench_floor and bench_pack in build/bench-host, makes the cabinets in
build/bench-data (tools/make-product.sh, uncompressed cabinets, seeded) and prints the rows.
BENCH_RUNS and BENCH_SEED as for run.py.
"""
import json
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CODE = '{5B0E6C1A-3D2F-4E8B-9A7C-6D5E4F3A2B11}'


def make_cabinet(bench, size_mb, mix=False):
    """One MSI and its uncompressed cabinet; `mix`: 64 KiB blocks of the second data mix (the
    way make-product.sh makes files of 1 GiB and more)."""
    d = os.path.join(bench.DATA, f'seed{bench.SEED}-pack-{size_mb}' + ('-mix' if mix else ''))
    files = {'msi': os.path.join(d, 'pack.msi'), 'cab': os.path.join(d, 'pack.cab')}
    stamp = os.path.join(d, '.complete')
    if not os.path.exists(stamp):
        bench.log(f'generating a {size_mb} MiB cabinet (seed {bench.SEED})')
        subprocess.run(['rm', '-rf', d], check=True)
        bench.run([os.path.join(bench.TOP, 'tools', 'make-product.sh'), d, '--code', CODE,
                   '--size-mb', str(size_mb), '--seed', str(bench.SEED), '--store',
                   '--msi', 'pack.msi', '--cab', 'pack.cab'] + (['--mix', 'blocks'] if mix else []),
                  stdout=subprocess.DEVNULL)
        open(stamp, 'w').close()
    return files


def pack_cmd(bench, files, out, extra=()):
    return [os.path.join(bench.HOST, 'pack', 'msistub-pack'), 'build', '--quiet', '--key',
            os.path.join(bench.KEYDIR, 'payload-private.pem'),
            '--package', f'x64:1033:{CODE}:Pack Bench:{files["msi"]}',
            '--cab', f'{files["cab"]}:1000', '--container', out] + list(extra)


def peak_kib(text):
    return int(re.search(r'Maximum resident set size \(kbytes\): (\d+)', text).group(1))


def bench_packer(bench):
    os.makedirs(bench.WORK, exist_ok=True)
    out = os.path.join(bench.WORK, 'pack-container.bin')
    cab = make_cabinet(bench, 256)
    mib = os.path.getsize(cab['cab']) / (1 << 20)

    bench.log('packaging one cabinet: zlib level 9 on one core against msistub-pack on 2 threads')
    floor_times, pack_times = [], []
    for _ in range(bench.RUNS):
        text = bench.run([os.path.join(bench.HOST, 'bench', 'bench_floor'), 'deflate', '1', cab['cab']],
                         stdout=subprocess.PIPE, text=True).stdout
        floor_times += [float(x) for x in re.findall(r'seconds (\S+)', text)]
        if os.path.exists(out):
            os.remove(out)
        start = time.monotonic()
        bench.run(pack_cmd(bench, cab, out, ['--jobs', '2']))
        pack_times.append(time.monotonic() - start)
    bench.row(f'5c. Packaging floor: zlib level 9 of one {mib:.0f} MiB cabinet (one core)',
              bench.fmt(floor_times, 's'))
    bench.row(f'5d. msistub-pack build of that cabinet on 2 threads (--jobs 2; segments of 1 MiB, '
              'libdeflate level 8, the default; read, hash, compress, sign, write)', bench.fmt(pack_times, 's'),
              '<= 0.6 x 5c',
              bench.verdict(statistics.median(pack_times) / statistics.median(floor_times), 0.6))

    doc = json.loads(bench.run([os.path.join(bench.HOST, 'pack', 'msistub-pack'), 'inspect', '--json', out],
                               stdout=subprocess.PIPE, text=True).stdout)
    stored = next(r['stored'] for r in doc['sources'][0]['records'] if r['type'] == 'file' and r['id'] == 1001)
    text = bench.run([os.path.join(bench.HOST, 'bench', 'bench_pack'), cab['cab'], '8', '1'],
                     stdout=subprocess.PIPE, text=True).stdout
    whole = int(re.search(r'^whole - (\d+)', text, re.M).group(1))
    zlib = int(re.search(r'^zlib 1 (\d+)', text, re.M).group(1))
    bench.row('5e. The cabinet\'s record, segmented (1 MiB), against one libdeflate level 8 stream '
              f'of the same bytes ({whole:,} bytes; zlib full-flush segments: {zlib / whole:.4f} x)',
              f'{stored:,} bytes ({stored / whole:.4f} x)', '<= 1.005 x', bench.verdict(stored / whole, 1.005))

    big = make_cabinet(bench, 1024, mix=True)
    bench.log('packer peak memory on a 1 GiB cabinet')
    peaks = []
    for _ in range(max(1, min(3, bench.RUNS))):
        if os.path.exists(out):
            os.remove(out)
        text = bench.run(['/usr/bin/time', '-v'] + pack_cmd(bench, big, out), stderr=subprocess.PIPE,
                         text=True).stderr
        peaks.append(peak_kib(text) / 1024)
    os.remove(out)
    bench.row(f'5f. msistub-pack peak memory (VmHWM) packing a {os.path.getsize(big["cab"]) / (1 << 30):.2f} '
              'GiB cabinet (64 KiB blocks of the second mix; all cores)', bench.fmt(peaks, 'MiB', digits=1), '<= 256 MiB',
              bench.verdict(statistics.median(peaks) / 256, 1.0))


def main():
    sys.path.insert(0, HERE)
    import run as bench  # the table's helpers and places
    bench.log('building build/bench-host (msistub-pack, bench_floor, bench_pack)')
    bench.run(['cmake', '-S', bench.TOP, '-B', bench.HOST, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
               '-DMSISTUB_BENCH=ON', f'-DMSISTUB_DEV_KEY_DIR={bench.KEYDIR}', '-DMSISTUB_SANITIZE=OFF'],
              stdout=subprocess.DEVNULL)
    bench.run(['cmake', '--build', bench.HOST, '-j', os.environ.get('JOBS', '2'), '--target',
               'msistub-pack', 'bench_floor', 'bench_pack'], stdout=subprocess.DEVNULL)
    bench_packer(bench)
    print()
    for r in bench.rows:
        print(' | '.join(r))


if __name__ == '__main__':
    main()

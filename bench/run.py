#!/usr/bin/env python3
"""make bench: builds the Release bench trees, runs every benchmark and prints one table
(figure, median with min and max, target, ratio), also written as Markdown to
bench/results.md. Ratios compare figures measured side by side in this run on this machine.

Trees: build/bench-host (native, Release, no sanitizers), build/bench-win64 (the stub,
Release) and build/bench-win64-onestep (the same with one writer step per timer message).
Data: build/bench-data (tools/make-product.sh, seeded, uncompressed cabinets so that the
decoded sizes are what the setup carries). Work files and the Wine prefix: build/bench-work.

Groups (`bench/run.py GROUP...` runs only those; `make bench` runs all): build, decode (0.,
1a-1f), pack (5a-5b), packer (5c-5f, bench/pack_rows.py), hostile (5g-5h), windecode (1g-1t),
e2e (2., 4.), mix (6., the second data mix), big (7., the 1 GiB product), question (8., what
the end-to-end figure depends on), sizes (3.); `wine` stands for windecode, e2e, mix, big and
question. A partial run replaces its rows in bench/results.md, keeps the others, and says which
run gave which rows.

Environment: BENCH_RUNS (timed runs per figure, default 5), BENCH_BIG_RUNS (the 1 GiB product's,
default 3), BENCH_QUESTION_RUNS (each factor of 8., default 3), BENCH_FACTORS (only these
factors of 8., such as "8a 8b"), BENCH_SEGMENT_MIB (segment size of 1o-1t, default 1),
BENCH_SEED (default 1), BENCH_NOTE (a note added below the
table, such as what else ran on the machine).
"""
import json
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(TOP, 'build')
HOST = os.path.join(BUILD, 'bench-host')
WIN = os.path.join(BUILD, 'bench-win64')
ONESTEP = os.path.join(BUILD, 'bench-win64-onestep')
DATA = os.path.join(BUILD, 'bench-data')
WORK = os.path.join(BUILD, 'bench-work')
KEYDIR = os.path.join(BUILD, 'devkey')
RUNS = int(os.environ.get('BENCH_RUNS', '5'))  # fewer than 5 only to try the harness out
BIG_RUNS = int(os.environ.get('BENCH_BIG_RUNS', '3'))  # the 1 GiB product's timed runs
QUESTION_RUNS = int(os.environ.get('BENCH_QUESTION_RUNS', '3'))  # each factor's timed runs (8.)
QUESTION_ONLY = os.environ.get('BENCH_FACTORS', '').split()  # only these factors of 8., e.g. "8a 8b"
SEGMENT_MIB = int(os.environ.get('BENCH_SEGMENT_MIB', '1'))  # segment size of 1o-1t
STARTED = time.time()
LOAD = os.getloadavg()[0]
SEED = int(os.environ.get('BENCH_SEED', '1'))
CODE = '{5B0E6C1A-3D2F-4E8B-9A7C-6D5E4F3A2B10}'
MIB = 1 << 20
TICK = os.sysconf('SC_CLK_TCK')

rows = []   # (figure, value text, target text, ratio text)
notes = []
machine = {}  # what the new-memory figures found: fault_us, the cost of one first write


def log(text):
    print(f'bench: {text}', file=sys.stderr, flush=True)


def run(cmd, **kw):
    kw.setdefault('check', True)
    return subprocess.run(cmd, **kw)


def stats(values):
    return statistics.median(values), min(values), max(values)


def fmt(values, unit, scale=1.0, digits=2):
    med, lo, hi = (v * scale for v in stats(values))
    return f'{med:.{digits}f} {unit} [{lo:.{digits}f}..{hi:.{digits}f}]'


def row(figure, value, target='', ratio=''):
    rows.append((figure, value, target, ratio))
    log(f'{figure}: {value} {target} {ratio}')


def verdict(ratio, limit, higher_is_better=False):
    ok = ratio >= limit if higher_is_better else ratio <= limit
    return f'{ratio:.2f} x ({"meets" if ok else "misses"})'


# ---------------------------------------------------------------------------------------------
# Builds

def build_trees():
    common = ['-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release', '-DMSISTUB_BENCH=ON',
              f'-DMSISTUB_DEV_KEY_DIR={KEYDIR}']
    toolchain = f'-DCMAKE_TOOLCHAIN_FILE={TOP}/cmake/mingw64.toolchain.cmake'
    trees = [
        (HOST, ['-DMSISTUB_SANITIZE=OFF'], ['bench_decode', 'bench_floor', 'bench_pack', 'msistub-pack']),
        (WIN, [toolchain, f'-DMSISTUB_HOST_BUILD_DIR={HOST}', '-DMSISTUB_ONE_STEP_PER_TICK=OFF'],
         ['msistub', 'bench_msiexec', 'bench_dialog', 'bench_msistub_map', 'bench_decode_win',
          'bench_crypto_probe1', 'bench_crypto_probe2', 'bench_crypto_probe3']),
        (ONESTEP, [toolchain, f'-DMSISTUB_HOST_BUILD_DIR={HOST}', '-DMSISTUB_ONE_STEP_PER_TICK=ON'],
         ['msistub', 'bench_dialog']),
    ]
    if os.path.exists(os.path.join(TOP, 'payload', 'segment.cpp')):
        trees[1][2].append('bench_segment_win')
    jobs = os.environ.get('JOBS', str(os.cpu_count() or 2))
    for tree, extra, targets in trees:
        log(f'building {os.path.relpath(tree, TOP)}')
        run(['cmake', '-S', TOP, '-B', tree] + common + extra, stdout=subprocess.DEVNULL)
        run(['cmake', '--build', tree, '-j', jobs, '--target'] + targets, stdout=subprocess.DEVNULL)


# ---------------------------------------------------------------------------------------------
# Data: products of two cabinets (each named by the MSI's Media table)

def make_product(key, size_mb, seed, mix=None):
    """build/bench-data/<key>: bench.msi, bench1.cab and bench2.cab of size_mb MiB each
    (uncompressed cabinets), made once for the seed."""
    d = os.path.join(DATA, key)
    stamp = os.path.join(d, '.complete')
    files = {'msi': os.path.join(d, 'bench.msi'), 'cab1': os.path.join(d, 'bench1.cab'),
             'cab2': os.path.join(d, 'bench2.cab')}
    if os.path.exists(stamp):
        return files
    log(f'generating data {key}')
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    mp = os.path.join(TOP, 'tools', 'make-product.sh')
    run([mp, d, '--name', 'Bench Product', '--code', CODE, '--size-mb', str(size_mb), '--seed', str(seed),
         '--store', '--msi', 'bench.msi', '--cab', 'bench1.cab', '--second-cab', 'bench2.cab']
        + (['--mix', mix] if mix else []))
    open(stamp, 'w').close()
    return files


def make_data():
    """The main product (256 MiB: text-like, binary-like and incompressible files) and the
    64 MiB file the decode figures use."""
    files = make_product(f'seed{SEED}-two-media', 128, SEED)
    decode = os.path.join(DATA, f'seed{SEED}-decode', 'decode.cab')
    if not os.path.exists(decode):
        other = os.path.join(DATA, f'seed{SEED}-decode')
        shutil.rmtree(other, ignore_errors=True)
        run([os.path.join(TOP, 'tools', 'make-product.sh'), other, '--size-mb', '64',
             '--seed', str(SEED + 2), '--store', '--cab', 'decode.cab.part'])
        os.rename(os.path.join(other, 'decode.cab.part'), decode)
    files['decode'] = decode
    return files


def mix_data():
    """The second data mix: 256 MiB of 64 KiB blocks, half text-like, 30 % zeros, 20 % random."""
    return make_product(f'seed{SEED}-blocks', 128, SEED, 'blocks')


def big_data():
    """The 1 GiB product: the main product's mix, two cabinets of 512 MiB."""
    return make_product(f'seed{SEED}-1gib', 512, SEED)


# ---------------------------------------------------------------------------------------------
# 1. Decode throughput (host)

def bench_memory():
    log('first touch of new memory (host)')
    text = run([os.path.join(HOST, 'bench', 'bench_floor'), 'touch', str(RUNS), '256'],
               stdout=subprocess.PIPE, text=True).stdout
    fresh = [float(x) for x in re.findall(r'fresh (\S+)', text)]
    warm = [float(x) for x in re.findall(r'warm (\S+)', text)]
    huge = [float(x) for x in re.findall(r'huge (\S+)', text)]
    per_page = statistics.median(fresh) / (256 * MIB / 4096) * 1e6
    machine['fault_us'] = per_page
    row('0a. This machine: first write to 256 MiB of new memory, one byte per 4 KiB page',
        fmt(fresh, 's', digits=3), '', f'{per_page:.1f} us a page')
    row('0b. The same 256 MiB written whole again (memset)', fmt(warm, 's', digits=3), '',
        f"{statistics.median(fresh) / statistics.median(warm):.0f} x faster than 0a")
    row('0c. 0a with transparent huge pages asked for (madvise; Wine does not ask)',
        fmt(huge, 's', digits=3))


def bench_decode(files):
    log('decode throughput (host)')
    out = run([os.path.join(HOST, 'bench', 'bench_decode'), files['decode'],
               os.path.join(KEYDIR, 'payload-private.pem'), f'--benchmark_repetitions={RUNS}',
               '--benchmark_format=json', '--benchmark_min_time=0.5'],
              stdout=subprocess.PIPE, text=True).stdout
    runs = {}
    for b in json.loads(out)['benchmarks']:
        if b.get('run_type') == 'iteration':
            runs.setdefault(b['run_name'].split('/')[0], []).append(b['bytes_per_second'] / MIB)
    med = {k: statistics.median(v) for k, v in runs.items()}
    row('1a. Native decode floor: zlib inflate into a buffer allocated before the runs + SHA-256 '
        '(64 MiB record)', fmt(runs['BM_InflateSha256Floor'], 'MiB/s', digits=0))
    row('1b. Native: libdeflate, the same', fmt(runs['BM_LibdeflateSha256Floor'], 'MiB/s', digits=0),
        '', f"{med['BM_LibdeflateSha256Floor'] / med['BM_InflateSha256Floor']:.2f} x 1a")
    row('1c. Native: zlib into a buffer allocated once in the run (first touched by the decoding)',
        fmt(runs['BM_InflateSha256FreshBuffer'], 'MiB/s', digits=0), '',
        f"{med['BM_InflateSha256FreshBuffer'] / med['BM_InflateSha256Floor']:.2f} x 1a")
    row('1d. Native: libdeflate into a buffer allocated once in the run',
        fmt(runs['BM_LibdeflateSha256FreshBuffer'], 'MiB/s', digits=0), '',
        f"{med['BM_LibdeflateSha256FreshBuffer'] / med['BM_InflateSha256FreshBuffer']:.2f} x 1c")
    row('1e. Native: LoadRecord, no size field (zlib, doubling block; find, inflate, verify)',
        fmt(runs['BM_LoadRecord'], 'MiB/s', digits=0), '',
        f"{med['BM_LoadRecord'] / med['BM_InflateSha256FreshBuffer']:.2f} x 1c")
    row('1f. Native: sized record (LoadBoundRecord with size=: libdeflate into one exact block, verify)',
        fmt(runs['BM_LoadSizedRecord'], 'MiB/s', digits=0), '>= 0.9 x 1d; >= 2 x 1c',
        f"{verdict(med['BM_LoadSizedRecord'] / med['BM_LibdeflateSha256FreshBuffer'], 0.9, True)} 1d; "
        f"{verdict(med['BM_LoadSizedRecord'] / med['BM_InflateSha256FreshBuffer'], 2.0, True)} 1c")


# ---------------------------------------------------------------------------------------------
# Setups: msistub (signed stub, payload in its certificate table) and the NSIS peer

def sign_stub(stub, out):
    """Signs `stub` with a throwaway code-signing certificate, as a release would."""
    if fresh(out, stub):
        return out
    key, cert = os.path.join(WORK, 'signer.key'), os.path.join(WORK, 'signer.crt')
    if not os.path.exists(cert):
        run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key,
             '-out', cert, '-days', '30', '-subj', '/CN=msistub bench',
             '-addext', 'extendedKeyUsage=codeSigning'],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if os.path.exists(out):
        os.remove(out)
    run(['osslsigncode', 'sign', '-certs', cert, '-key', key, '-in', stub, '-out', out],
        stdout=subprocess.DEVNULL)
    return out


def fresh(out, *inputs):
    """True when `out` exists and is newer than every one of `inputs`."""
    return os.path.exists(out) and all(os.path.getmtime(out) > os.path.getmtime(i) for i in inputs)


def signed_stubs():
    os.makedirs(WORK, exist_ok=True)
    return {name: sign_stub(os.path.join(tree, 'stub', 'msistub.exe'),
                            os.path.join(WORK, f'stub-{name}-signed.exe'))
            for name, tree in (('msistub', WIN), ('onestep', ONESTEP))}


def pack_cmd(files, stub, out):
    return [os.path.join(HOST, 'pack', 'msistub-pack'), 'build', '--allow-development-key',
            '--key', os.path.join(KEYDIR, 'payload-private.pem'),
            '--package', f'x64:1033:{CODE}:Bench Product:{files["msi"]}',
            '--cab', f'{files["cab1"]}:1000', '--cab', f'{files["cab2"]}:1000',
            '--stub', stub, '--out', out]


def pack_setup(files, stub, out):
    """The msistub setup of `files` (the signed stub, the container in its certificate table),
    packed again only when the stub, the tool or an input is newer."""
    if not fresh(out, stub, os.path.join(HOST, 'pack', 'msistub-pack'), files['msi'], files['cab1'],
                 files['cab2']):
        log(f'packing {os.path.relpath(out, TOP)}')
        if os.path.exists(out):
            os.remove(out)
        run(pack_cmd(files, stub, out), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out


# The NSIS peer: the same MSI and cabinets in an NSIS installer that extracts them to a folder
# of its %TEMP% and runs msiexec /i the same way. `ui` is silent or its own progress page
# (closed by itself when done), as msistub shows its dialog; `compressor` the script's
# SetCompressor line (zlib, not solid, unless a figure says otherwise).
NSIS_SILENT = 'SilentInstall silent'
NSIS_PAGE = 'AutoCloseWindow true\nPage instfiles'


def nsis_setup(files, out, folder, ui=NSIS_SILENT, compressor='SetCompressor zlib'):
    script = out[:-len('.exe')] + '.nsi'
    text = f'''Unicode true
Target amd64-unicode
{compressor}
Name "Bench Product"
OutFile "{out}"
RequestExecutionLevel admin
{ui}
Section
  SetOutPath "$TEMP\\{folder}"
  File "{files['msi']}"
  File "{files['cab1']}"
  File "{files['cab2']}"
  ExecWait '"$SYSDIR\\msiexec.exe" /i "$TEMP\\{folder}\\bench.msi" /qn' $0
  SetErrorLevel $0
SectionEnd
'''
    if os.path.exists(script) and open(script).read() == text and fresh(out, script, *files.values()):
        return out
    with open(script, 'w') as f:
        f.write(text)
    log(f'building the NSIS peer {os.path.basename(out)}')
    run(['makensis', '-V1', script], stdout=subprocess.DEVNULL)
    return out


class Setup:
    """One installer measured under Wine: `kind` msistub (extracts into the product-code folder
    of Windows\\Installer), nsis (into `folder` of its %TEMP%) or start (the recording msiexec
    alone); `files` the product it must write, checked by size after every run."""
    def __init__(self, key, exe, kind, files=None, folder=None):
        self.key, self.exe, self.kind, self.files, self.folder = key, exe, kind, files, folder


def make_setups(files):
    """The main product's setups: msistub, msistub with one writer step per timer message, the
    NSIS peer silent and showing its page."""
    stubs = signed_stubs()
    nsis = os.path.join(WORK, 'nsis')
    os.makedirs(nsis, exist_ok=True)
    return {
        'msistub': Setup('msistub', pack_setup(files, stubs['msistub'], os.path.join(WORK, 'setup-msistub.exe')),
                         'msistub', files),
        'onestep': Setup('onestep', pack_setup(files, stubs['onestep'], os.path.join(WORK, 'setup-onestep.exe')),
                         'msistub', files),
        'nsis': Setup('nsis', nsis_setup(files, os.path.join(nsis, 'setup-nsis.exe'), 'nsis-peer'),
                      'nsis', files, 'nsis-peer'),
        'nsis-window': Setup('nsis-window', nsis_setup(files, os.path.join(nsis, 'setup-nsis-window.exe'),
                                                        'nsis-peer-window', NSIS_PAGE),
                             'nsis', files, 'nsis-peer-window'),
    }


# 5a-5b. Packaging time against zlib level 9 of the same bytes (one core each), interleaved.
def bench_pack(files):
    stub = signed_stubs()['msistub']
    log('packaging time')
    pack_times, floor_times = [], []
    inputs = [files['msi'], files['cab1'], files['cab2']]
    out = os.path.join(WORK, 'setup-pack-timed.exe')
    for _ in range(RUNS):
        if os.path.exists(out):
            os.remove(out)
        start = time.monotonic()
        run(pack_cmd(files, stub, out), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pack_times.append(time.monotonic() - start)
        text = run([os.path.join(HOST, 'bench', 'bench_floor'), 'deflate', '1'] + inputs,
                   stdout=subprocess.PIPE, text=True).stdout
        floor_times += [float(x) for x in re.findall(r'seconds (\S+)', text)]
    os.remove(out)
    row('5a. Packaging floor: zlib level 9 of the MSI and cabinets (one core)', fmt(floor_times, 's'))
    row(f'5b. Packaging: msistub-pack build of the same (segmented records, libdeflate level 9, all '
        f'{os.cpu_count()} cores; read, compress, sign, attach to the signed stub)', fmt(pack_times, 's'),
        '<= 1.0 x 5a',
        verdict(statistics.median(pack_times) / statistics.median(floor_times), 1.0))


def hostile_container(path, records):
    """A container of `records` empty FileRecords (28-byte trailers, no data, no signature)
    behind an empty ManifestRecord: what an attacker can hand the tool cheaply."""
    with open(os.path.join(TOP, 'common', 'format.h')) as f:
        text = f.read()
    # The type GUIDs as the format header spells them (16 bytes each).
    def guid(name):
        m = re.search(name + r'\[16\]\s*=\s*\{([^}]*)\}', text)
        return bytes(int(x, 16) for x in re.findall(r'0x([0-9A-Fa-f]{2})', m.group(1)))
    manifest_type, file_type = guid('RECORD_TYPE_MANIFEST'), guid('RECORD_TYPE_FILE')
    with open(path, 'wb') as f:
        f.write(manifest_type + struct.pack('<III', 0, 0, 0))
        for i in range(records):
            f.write(file_type + struct.pack('<III', i, 0, 0))


# 5g-5h. The packaging tool on a hostile container: verify looks every record up once through
# one index of the container, so twice the records take about twice the time.
def bench_hostile():
    pack = os.path.join(HOST, 'pack', 'msistub-pack')
    key = os.path.join(KEYDIR, 'payload-public.pem')
    os.makedirs(WORK, exist_ok=True)
    times = {}
    for count in (40000, 80000):
        path = os.path.join(WORK, f'hostile-{count}.bin')
        hostile_container(path, count)
        times[count] = []
        for _ in range(RUNS):
            start = time.monotonic()
            # Exit 1: every empty record is reported (an empty stream does not inflate).
            run([pack, 'verify', '--key', key, path], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, check=False)
            times[count].append(time.monotonic() - start)
    row('5g. msistub-pack verify of a hostile container: 40,000 empty records (1.1 MB)',
        fmt(times[40000], 's'))
    row('5h. The same with 80,000 empty records (2.2 MB)', fmt(times[80000], 's'),
        '~2 x 5g (linear)', f'{statistics.median(times[80000]) / statistics.median(times[40000]):.2f} x 5g')


# ---------------------------------------------------------------------------------------------
# Wine: the prefix, the recording msiexec, the display

class Wine:
    """The bench prefix (made once, kept: build/bench-work/wineprefix) on an Xvfb display of its
    own, with a persistent server unless a figure stops it."""
    def __init__(self):
        self.template = os.path.join(WORK, 'wineprefix')
        self.prefix = self.template
        self.record = os.path.join(WORK, 'msiexec-record.txt')
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG='-all',
                        WINEDLLOVERRIDES='msiexec.exe=n;mscoree,mshtml=',
                        LANG='en_US.UTF-8', LC_ALL='en_US.UTF-8',
                        MSISTUB_BENCH_RECORD='Z:' + self.record.replace('/', '\\'),
                        MSISTUB_BENCH_HOLD_MS='300')
        self.temp_rel = None  # the prefix's %TEMP% below the prefix, found after an NSIS run
        self.server = None
        self.xvfb = None
        for n in range(150, 200):
            if not os.path.exists(f'/tmp/.X11-unix/X{n}') and not os.path.exists(f'/tmp/.X{n}-lock'):
                self.xvfb = subprocess.Popen(['Xvfb', f':{n}', '-screen', '0', '1024x768x24',
                                              '-nolisten', 'tcp'], stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL)
                self.env['DISPLAY'] = f':{n}'
                for _ in range(50):
                    if os.path.exists(f'/tmp/.X11-unix/X{n}'):
                        break
                    time.sleep(0.1)
                break
        if not os.path.exists(os.path.join(self.prefix, 'system.reg')):
            log('creating the Wine prefix')
        run(['wineboot', '-i'], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Xvfb has no window manager, and Wine's X11 driver waits up to 2 s for one to take each
        # managed top-level window: unmanaged windows, as with a desktop's window manager,
        # for every installer measured here.
        self.set_managed(False)
        run(['wineserver', '-w'], env=self.env)
        system32 = os.path.join(self.prefix, 'drive_c', 'windows', 'system32')
        shutil.copy(os.path.join(WIN, 'bench', 'bench_msiexec.exe'), os.path.join(system32, 'msiexec.exe'))
        self.start_server()

    def set_managed(self, managed):
        run(['wine', 'reg', 'add', 'HKCU\\Software\\Wine\\X11 Driver', '/v', 'Managed', '/t', 'REG_SZ',
             '/d', 'Y' if managed else 'N', '/f'], env=self.env, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def start_server(self):
        """A persistent server: no run pays for starting it (or Wine's own services)."""
        if self.server is None:
            self.server = subprocess.Popen(['wineserver', '-f', '-p'], env=self.env)
            time.sleep(1)

    def stop_server(self):
        """Ends this prefix's server and every process of the prefix; waits until it is gone."""
        run(['wineserver', '-k'], env=self.env, check=False, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        if self.server:
            self.server.wait()
            self.server = None
        run(['wineserver', '-w'], env=self.env, check=False)

    def use_prefix(self, prefix):
        self.prefix = prefix
        self.env['WINEPREFIX'] = prefix

    def close(self):
        self.stop_server()
        if self.prefix != self.template:
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.use_prefix(self.template)
            self.stop_server()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    def winpath(self, path):
        return 'Z:' + path.replace('/', '\\')

    def output_folder(self, setup):
        if setup.kind == 'msistub':
            return os.path.join(self.prefix, 'drive_c', 'windows', 'Installer', CODE)
        if setup.kind == 'nsis' and self.temp_rel:
            return os.path.join(self.prefix, self.temp_rel, setup.folder)
        return None

    def timed(self, exe, args=(), watch=True):
        """Runs exe under Wine; returns (seconds from start to the recorded msiexec start,
        seconds from start to exe's exit, the recorded command line, readings): `readings` are
        exe's peak VmHWM in bytes, the minor page faults, voluntary context switches and CPU
        seconds of its process at the last reading (all 0 unless `watch`), and the CPU seconds
        the prefix's server used during the run."""
        if os.path.exists(self.record):
            os.remove(self.record)
        name = os.path.basename(exe)
        server = server_cpu(self.prefix)
        start = time.time()
        proc = subprocess.Popen(['wine', exe] + list(args), env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        peak = faults = switches = cpu = wait = 0
        if watch:
            while proc.poll() is None:
                hwm, minflt, sw, c, w = memory_of(name)
                peak, faults, switches = max(peak, hwm), max(faults, minflt), max(switches, sw)
                cpu, wait = max(cpu, c), max(wait, w)
                time.sleep(0.02)
        else:
            proc.wait()
        ended = time.time() - start
        server = server_cpu(self.prefix) - server
        if proc.returncode != 0:
            raise RuntimeError(f'{name} exited with {proc.returncode}')
        with open(self.record, encoding='utf-8', errors='replace') as f:
            stamp, line = f.readline().rstrip('\r\n').split(' ', 1)
        return float(stamp) - start, ended, line, {'peak': peak, 'faults': faults, 'switches': switches,
                                                   'cpu': cpu, 'wait': wait, 'server': server}


def memory_of(name):
    """(largest VmHWM in bytes, most minor page faults, most voluntary context switches, most
    CPU seconds, most seconds its threads waited for a CPU while runnable) among the processes
    running `name`."""
    peak = faults = switches = cpu = wait = 0
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open(f'/proc/{pid}/cmdline', 'rb') as f:
                cmd = f.read()
            if name.encode() not in cmd or b'wineserver' in cmd:
                continue
            with open(f'/proc/{pid}/status') as f:
                status = f.read()
            m = re.search(r'VmHWM:\s+(\d+) kB', status)
            if m:
                peak = max(peak, int(m.group(1)) * 1024)
            m = re.search(r'voluntary_ctxt_switches:\s+(\d+)', status)
            if m:
                switches = max(switches, int(m.group(1)))
            with open(f'/proc/{pid}/stat') as f:
                # minflt, utime and stime are the 10th, 14th and 15th fields; the command name
                # (2nd) may hold blanks.
                fields = f.read().rsplit(')', 1)[1].split()
            faults = max(faults, int(fields[7]))
            cpu = max(cpu, (int(fields[11]) + int(fields[12])) / TICK)
            waited = 0
            for task in os.listdir(f'/proc/{pid}/task'):
                with open(f'/proc/{pid}/task/{task}/schedstat') as f:
                    waited += int(f.read().split()[1])  # ns runnable but not running
            wait = max(wait, waited / 1e9)
        except (OSError, IndexError, ValueError):
            pass
    return peak, faults, switches, cpu, wait


def server_cpu(prefix):
    """CPU seconds used so far by the Wine servers of `prefix` (0 when none runs)."""
    total = 0.0
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open(f'/proc/{pid}/cmdline', 'rb') as f:
                if b'wineserver' not in f.read().split(b'\0')[0]:
                    continue
            with open(f'/proc/{pid}/environ', 'rb') as f:
                if f'WINEPREFIX={prefix}'.encode() not in f.read().split(b'\0'):
                    continue
            with open(f'/proc/{pid}/stat') as f:
                fields = f.read().rsplit(')', 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / TICK
        except (OSError, IndexError, ValueError):
            pass
    return total


def evict(path):
    """Drops `path` from the page cache (its pages are clean once synced), as after a reboot."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def cached_mib(path):
    """MiB of `path` in the page cache (fincore), or None."""
    try:
        out = run(['fincore', '--bytes', '--noheadings', '--output', 'RES', path],
                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        return int(out.split()[0]) / MIB
    except (subprocess.CalledProcessError, IndexError, ValueError, OSError):
        return None


# How a run is measured. The figures of 2., 4., 6. and 7. use BASE; 8. changes one factor each.
BASE = {
    'prefix': 'reused',     # or 'fresh': a copy of the bench prefix made before each run
    'server': 'persistent', # or 'cold': the prefix's server stopped before each run
    'watch': True,          # VmHWM and page faults read from /proc every 20 ms during the run
    'setup_cache': 'warm',  # or 'cold': the setup dropped from the page cache before each run
    'output': 'removed',    # or 'left': the previous run's files left in the output folder
    'sync': False,          # or True: everything written back to disk before each run
    'managed': False,       # or True: Wine waits for a window manager to take each window
    'hogs': 0,              # busy processes beside the runs, at the bench's own priority
}


def prepare(wine, setup, v):
    """Readies one run of `setup` under the factors `v`."""
    if v['prefix'] == 'fresh':
        wine.stop_server()
        copy = os.path.join(WORK, 'wineprefix-fresh')
        wine.use_prefix(copy)
        wine.stop_server()
        shutil.rmtree(copy, ignore_errors=True)
        run(['cp', '-a', wine.template, copy])
    elif v['server'] == 'cold':
        wine.stop_server()
    else:
        wine.start_server()
    if v['output'] == 'removed':
        for folder in (wine.output_folder(setup),):
            if folder:
                shutil.rmtree(folder, ignore_errors=True)
    if v['sync']:
        os.sync()
    if v['setup_cache'] == 'cold':
        evict(setup.exe)


def check_output(wine, setup, line):
    """The recorded msiexec command line installs an MSI, and every file the setup extracted
    has its source's size."""
    if setup.kind == 'start':
        return
    if ' /i ' not in f' {line} ' and '/i' not in line.split():
        raise RuntimeError(f'{setup.key}: unexpected installer command line {line}')
    if '.msi' not in line.lower():
        raise RuntimeError(f'{setup.key}: the command line names no MSI: {line}')
    if setup.kind == 'nsis' and not wine.temp_rel:
        found = [os.path.join(r, d) for r, ds, _ in os.walk(os.path.join(wine.prefix, 'drive_c', 'users'))
                 for d in ds if d == setup.folder]
        if len(found) != 1:
            raise RuntimeError(f'NSIS peer: extraction folder not found ({found})')
        wine.temp_rel = os.path.relpath(os.path.dirname(found[0]), wine.prefix)
    folder = wine.output_folder(setup)
    names = ('main.msi' if setup.kind == 'msistub' else 'bench.msi', 'bench1.cab', 'bench2.cab')
    for got, src in zip(names, (setup.files['msi'], setup.files['cab1'], setup.files['cab2'])):
        if os.path.getsize(os.path.join(folder, got)) != os.path.getsize(src):
            raise RuntimeError(f'{folder}/{got} was written with a wrong size')


def rounds(wine, setups, runs, variant=None, label=''):
    """Alternating rounds of `setups` under Wine (one run of each per round); the first round
    only warms the caches and is not counted. Returns, per setup key, lists of the timed runs:
    't' (start to msiexec start), 'exit' (start to the setup's exit), 'peak' (VmHWM), 'faults'."""
    v = dict(BASE, **(variant or {}))
    keys = ('t', 'exit', 'peak', 'faults', 'switches', 'cpu', 'wait', 'server')
    res = {s.key: {k: [] for k in keys} for s in setups}
    if v['managed']:
        wine.set_managed(True)
    hogs = [subprocess.Popen([sys.executable, '-c', 'while True: pass']) for _ in range(v['hogs'])]
    try:
        for i in range(runs + 1):
            for s in setups:
                prepare(wine, s, v)
                args = [] if s.kind == 'start' else ['/qn']
                t, ended, line, readings = wine.timed(s.exe, args, v['watch'])
                check_output(wine, s, line)
                if i > 0:
                    for k, x in dict(readings, t=t, exit=ended).items():
                        res[s.key][k].append(x)
            log(f'{label} round {i}: ' + ', '.join(f'{k} {r["t"][-1]:.2f}s' for k, r in res.items() if r['t']))
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()
        if v['prefix'] == 'fresh':
            wine.stop_server()
            shutil.rmtree(wine.prefix, ignore_errors=True)
            wine.use_prefix(wine.template)
        if v['managed']:
            wine.set_managed(False)
        wine.start_server()
    return res


def med(values):
    return statistics.median(values)


def mib(values):
    return fmt(values, 'MiB', 1 / MIB, 0)


# ---------------------------------------------------------------------------------------------
# 1g-1q. Decode under Wine

def bench_windecode(wine, files):
    log('decode throughput under Wine')
    text = run(['wine', os.path.join(WIN, 'bench', 'bench_decode_win.exe'), str(RUNS),
                wine.winpath(files['decode'])], env=wine.env, stdout=subprocess.PIPE,
               stderr=subprocess.DEVNULL, text=True).stdout
    dec = {k: [64 / float(x) for x in re.findall(r'(?m)^' + k + r' (\S+)', text)]
           for k in ('floor', 'ldfloor', 'fresh', 'ldfresh', 'load', 'sized')}
    bombs = {k: [float(x) for x in re.findall(r'(?m)^' + k + r' (\S+)', text)] for k in ('bombload', 'bombsized')}
    dm = {k: med(v) for k, v in dec.items()}
    row('1g. Under Wine: zlib inflate into a buffer allocated before the runs + SHA-256 (64 MiB record)',
        fmt(dec['floor'], 'MiB/s', digits=0))
    row('1h. Under Wine: libdeflate, the same', fmt(dec['ldfloor'], 'MiB/s', digits=0),
        '', f"{dm['ldfloor'] / dm['floor']:.2f} x 1g")
    row('1i. Under Wine: zlib into a buffer allocated once in the run (LocalAlloc, first touched by '
        'the decoding)', fmt(dec['fresh'], 'MiB/s', digits=0), '', f"{dm['fresh'] / dm['floor']:.2f} x 1g")
    row('1j. Under Wine: libdeflate into a buffer allocated once in the run', fmt(dec['ldfresh'], 'MiB/s', digits=0),
        '', f"{dm['ldfresh'] / dm['fresh']:.2f} x 1i")
    row('1k. Under Wine: LoadRecord, no size field (zlib, block doubled by LocalReAlloc; verified)',
        fmt(dec['load'], 'MiB/s', digits=0), '', f"{dm['load'] / dm['fresh']:.2f} x 1i")
    row('1l. Under Wine: sized record (libdeflate into one exact LocalAlloc block; verified)',
        fmt(dec['sized'], 'MiB/s', digits=0), '>= 0.9 x 1j; >= 2 x 1i',
        f"{verdict(dm['sized'] / dm['ldfresh'], 0.9, True)} 1j; {verdict(dm['sized'] / dm['fresh'], 2.0, True)} 1i")
    for key, label in (('bombload', 'no size field'), ('bombsized', 'sized')):
        row(f'1{"m" if key == "bombload" else "n"}. Under Wine: crafted record, 16 MiB of zeros from 16 KiB, {label}',
            fmt(bombs[key], 's', digits=3), '< 1 s', verdict(med(bombs[key]), 1.0))

    segment = os.path.join(WIN, 'bench', 'bench_segment_win.exe')
    if not os.path.exists(segment):
        log('no segment decoder in this tree: 1o-1t not measured')
        return
    log(f'segmented decode under Wine (segments of {SEGMENT_MIB} MiB)')
    text = run(['wine', segment, str(RUNS), wine.winpath(files['decode']), str(SEGMENT_MIB)], env=wine.env,
               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    seg = {k: [64 / float(x) for x in re.findall(r'(?m)^' + k + r' (\S+)', text)]
           for k in ('whole', 'seg1', 'seg2', 'whole_sha', 'seg2_sha', 'ring1', 'ring2')}
    cpu = {k: [float(x) for x in re.findall(r'(?m)^cpu_' + k + r' (\S+)', text)]
           for k in ('whole', 'seg1', 'seg2')}
    if any(len(v) != RUNS for v in seg.values()):
        raise RuntimeError(f'bench_segment_win printed {text!r}')
    count, stored = re.search(r'segments (\d+) stored (\d+)', text).groups()
    sm = {k: med(v) for k, v in seg.items()}
    row(f'1o. Under Wine: libdeflate, one thread, a segmented stream whole into a warm buffer (64 MiB in '
        f'{count} segments of {SEGMENT_MIB} MiB, zlib level 9, {int(stored) / MIB:.1f} MiB stored)',
        fmt(seg['whole'], 'MiB/s', digits=0))
    row('1p. Under Wine: the same stream segment by segment (DecodeSegment, one thread; each segment\'s '
        'stored bytes copied first, Adler-32 checked)', fmt(seg['seg1'], 'MiB/s', digits=0), '',
        f"{sm['seg1'] / sm['whole']:.2f} x 1o")
    row(f'1q. Under Wine: segmented decode on 2 threads (DecodeSegment, the same stream and buffer)',
        fmt(seg['seg2'], 'MiB/s', digits=0), '>= 1.6 x 1o', verdict(sm['seg2'] / sm['whole'], 1.6, True) + ' 1o')
    row('1t. Under Wine: segmented decode as the stub\'s workers do it, each thread into one '
        f'{SEGMENT_MIB} MiB buffer of its own reused from segment to segment (a ring slot): '
        'one thread / two threads', f"{fmt(seg['ring1'], 'MiB/s', digits=0)} / "
        f"{fmt(seg['ring2'], 'MiB/s', digits=0)}", '>= 1.6 x 1o',
        f"{verdict(sm['ring2'] / sm['whole'], 1.6, True)} 1o (two threads); "
        f"{sm['ring2'] / sm['ring1']:.2f} x one thread")
    row('1r. Under Wine: with SHA-256 of the decoded bytes: 1o then SHA-256 / 2 decoding threads and '
        'SHA-256 in order on a third', f"{fmt(seg['whole_sha'], 'MiB/s', digits=0)} / {fmt(seg['seg2_sha'], 'MiB/s', digits=0)}",
        '', f"{sm['seg2_sha'] / sm['whole_sha']:.2f} x")
    # What two idle cores would give: 1o takes its CPU time, 1q half of its own (both threads
    # busy throughout). The CPU time leaves out the time spent waiting for a core.
    ideal = [2 * w / c for w, c in zip(cpu['whole'], cpu['seg2'])]
    row('1s. CPU time per decode: 1o / 1p / 1q (all threads); 1q against 1o on two idle cores, '
        'estimated from them (1o\'s CPU time against half of 1q\'s)',
        ' / '.join(fmt(cpu[k], 's', digits=3) for k in ('whole', 'seg1', 'seg2')), '>= 1.6 x 1o',
        verdict(med(ideal), 1.6, True) + ' 1o (estimate)')


# ---------------------------------------------------------------------------------------------
# 2., 4. End to end under Wine and peak memory: the main product (256 MiB)

def bench_e2e(wine, files, setups):
    names = ('msistub', 'onestep', 'nsis', 'nsis-window')
    entries = [setups[k] for k in names] + [
        Setup('start', os.path.join(WIN, 'bench', 'bench_msiexec.exe'), 'start')]
    log('end to end under Wine')
    res = rounds(wine, entries, RUNS, label='end to end')
    times = {k: r['t'] for k, r in res.items()}
    peaks = {k: r['peak'] for k, r in res.items()}
    faults = {k: r['faults'] for k, r in res.items()}

    log('native floor: inflate + SHA-256 + write')
    floor_dir = os.path.join(WORK, 'floor-out')
    os.makedirs(floor_dir, exist_ok=True)
    text = run([os.path.join(HOST, 'bench', 'bench_floor'), 'extract', str(RUNS), floor_dir,
                files['msi'], files['cab1'], files['cab2']], stdout=subprocess.PIPE, text=True).stdout
    floor = [float(x) for x in re.findall(r'seconds (\S+)', text)]
    shutil.rmtree(floor_dir)

    log('writer loop against the progress dialog (Wine)')
    gaps = {}
    for name, tree in (('msistub', WIN), ('onestep', ONESTEP)):
        out = os.path.join(WORK, 'dialog-out')
        os.makedirs(out, exist_ok=True)
        text = run(['wine', os.path.join(tree, 'bench', 'bench_dialog.exe'), str(RUNS), wine.winpath(out),
                    wine.winpath(files['msi']), wine.winpath(files['cab1']), wine.winpath(files['cab2'])],
                   env=wine.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        bare = [float(x) for x in re.findall(r'bare (\S+)', text)]
        dialog = [float(x) for x in re.findall(r'dialog (\S+)', text)]
        ticks = [int(x) for x in re.findall(r'ticks (\d+)', text)]
        empty = [float(x) for x in re.findall(r'empty (\S+)', text)]
        if not (len(bare) == len(dialog) == len(empty) == RUNS):
            raise RuntimeError(f'bench_dialog ({name}) printed {text!r}')
        gaps[name] = ([d - b - e for d, b, e in zip(dialog, bare, empty)], bare, ticks, empty)
        shutil.rmtree(out)

    m = {k: med(v) for k, v in times.items() if v}
    row('2a. Wine process start alone (the recording msiexec.exe, start to record)',
        fmt(times['start'], 's'))
    row('2b. End to end floor: native inflate + SHA-256 + write (256 MiB)', fmt(floor, 's'))
    row('2c. End to end: NSIS peer, silent (zlib, not solid), start to msiexec start', fmt(times['nsis'], 's'))
    row('2c\'. End to end: NSIS peer showing its progress page (auto-close)', fmt(times['nsis-window'], 's'))
    row('2d. End to end: msistub setup /qn (progress dialog), start to msiexec start', fmt(times['msistub'], 's'),
        '<= 0.6 x 2c; < 1.0 x 2c\'; <= 1.5 x floor',
        f'{verdict(m["msistub"] / m["nsis"], 0.6)} 2c; '
        f'{verdict(m["msistub"] / m["nsis-window"], 0.999)} 2c\'; '
        f'{verdict(m["msistub"] / med(floor), 1.5)} floor')
    row('2e. End to end: msistub, one writer step per timer message', fmt(times['onestep'], 's'),
        '', f'{m["onestep"] / m["msistub"]:.2f} x batched msistub')
    gap, bare, ticks, empty = gaps['msistub']
    row('2f. msistub: time between writer batches (dialog - bare writer loop - empty dialog)',
        fmt(gap, 's') + f', {med(ticks):.0f} timer messages; bare loop '
        + fmt(bare, 's'), '', f'{med(gap) / m["msistub"] * 100:.1f} % of 2d')
    gap1, bare1, ticks1, _ = gaps['onestep']
    row('2g. Same, one writer step per timer message', fmt(gap1, 's') +
        f', {med(ticks1):.0f} timer messages', '',
        f'{med(gap1) / m["onestep"] * 100:.1f} % of 2e')
    row('2h. An empty progress dialog shown and closed (Wine on Xvfb, unmanaged windows)',
        fmt(empty, 's'), '', f'{med(empty) / m["msistub"] * 100:.1f} % of 2d')
    mf = {k: med(v) for k, v in faults.items() if v}
    row('2i. Minor page faults: msistub process / NSIS peer process (silent)',
        f'{mf["msistub"]:.0f} / {mf["nsis"]:.0f}', '<= 2 x NSIS', verdict(mf['msistub'] / mf['nsis'], 2.0))
    if 'fault_us' not in machine:  # 0a not run with this group: measured here, without its rows
        text = run([os.path.join(HOST, 'bench', 'bench_floor'), 'touch', '3', '256'],
                   stdout=subprocess.PIPE, text=True).stdout
        fresh = [float(x) for x in re.findall(r'fresh (\S+)', text)]
        machine['fault_us'] = med(fresh) / (256 * MIB / 4096) * 1e6
    # What the two would take where a first write to a page costs nothing: an estimate.
    cost = machine['fault_us'] / 1e6
    mine, peer = m['msistub'] - mf['msistub'] * cost, m['nsis'] - mf['nsis'] * cost
    row(f'2j. Estimate: 2d and 2c less their page faults (2i) at {machine["fault_us"]:.1f} us a page '
        '(0a, measured in this run)', f'{mine:.2f} s / {peer:.2f} s', '', f'{mine / peer:.2f} x')

    cpu = {k: r['cpu'] for k, r in res.items()}
    wait = {k: r['wait'] for k, r in res.items()}
    row('2k. CPU time of the process over its run (user + system, all threads): msistub / NSIS '
        'peer (silent)', f'{fmt(cpu["msistub"], "s")} / {fmt(cpu["nsis"], "s")}', '',
        f'{med(cpu["msistub"]) / med(cpu["nsis"]):.2f} x')
    row('2l. Time its threads were runnable but waited for a CPU (other work on the machine): msistub / '
        'NSIS peer (silent)', f'{fmt(wait["msistub"], "s")} / {fmt(wait["nsis"], "s")}', '',
        f'{med(wait["msistub"]) / m["msistub"] * 100:.0f} % / {med(wait["nsis"]) / m["nsis"] * 100:.0f} % of 2d / 2c')

    row('4a. Peak memory (VmHWM) of a Wine process that does nothing (recording msiexec)', mib(peaks['start']))
    row('4b. Peak memory (VmHWM) of the msistub process (256 MiB product)', mib(peaks['msistub']),
        '<= 64 MiB', verdict(med(peaks['msistub']) / MIB / 64, 1.0))
    row('4c. Peak memory (VmHWM) of the NSIS peer process (silent)', mib(peaks['nsis']),
        '', f'msistub {med(peaks["msistub"]) / med(peaks["nsis"]):.2f} x this')
    row('4d. Peak memory (VmHWM) of the NSIS peer showing its page', mib(peaks['nsis-window']))


# ---------------------------------------------------------------------------------------------
# 6. The second data mix; 7. the 1 GiB product: both installers, silent, alternating

def pair(files, tag):
    """msistub and the silent NSIS peer of `files`."""
    stub = signed_stubs()['msistub']
    nsis = os.path.join(WORK, 'nsis')
    os.makedirs(nsis, exist_ok=True)
    return [Setup(f'msistub-{tag}', pack_setup(files, stub, os.path.join(WORK, f'setup-msistub-{tag}.exe')),
                  'msistub', files),
            Setup(f'nsis-{tag}', nsis_setup(files, os.path.join(nsis, f'setup-nsis-{tag}.exe'), f'nsis-peer-{tag}'),
                  'nsis', files, f'nsis-peer-{tag}')]


def pair_rows(res, setups, n, what, peak_target):
    mine, peer = res[setups[0].key], res[setups[1].key]
    row(f'{n}a. {what}: NSIS peer, silent, start to msiexec start', fmt(peer['t'], 's'))
    row(f'{n}b. {what}: msistub setup /qn, start to msiexec start', fmt(mine['t'], 's'), '',
        f'{med(mine["t"]) / med(peer["t"]):.2f} x {n}a')
    row(f'{n}c. {what}: peak memory (VmHWM) of msistub / the NSIS peer',
        f'{mib(mine["peak"])} / {mib(peer["peak"])}', peak_target,
        verdict(med(mine['peak']) / MIB / 64, 1.0) if peak_target else '')
    row(f'{n}d. {what}: minor page faults, msistub / the NSIS peer',
        f'{med(mine["faults"]):.0f} / {med(peer["faults"]):.0f}', '',
        f'{med(mine["faults"]) / med(peer["faults"]):.1f} x')
    row(f'{n}e. {what}: CPU time of the process (user + system) and time it waited for a CPU, msistub '
        '/ the NSIS peer', f'{fmt(mine["cpu"], "s")} and {fmt(mine["wait"], "s")} / '
        f'{fmt(peer["cpu"], "s")} and {fmt(peer["wait"], "s")}', '',
        f'{med(mine["cpu"]) / med(peer["cpu"]):.2f} x (CPU)')
    a, b = (os.path.getsize(s.exe) for s in setups)
    row(f'{n}f. {what}: setup size, msistub / the NSIS peer', f'{a / MIB:.1f} MiB / {b / MIB:.1f} MiB', '',
        f'{a / b:.3f} x')


def bench_mix(wine):
    files = mix_data()
    setups = pair(files, 'blocks')
    log('second data mix under Wine')
    res = rounds(wine, setups, RUNS, label='second mix')
    pair_rows(res, setups, 6, 'Second data mix (256 MiB of 64 KiB blocks: half text-like, 30 % zeros, '
              '20 % random)', '<= 64 MiB')


def bench_big(wine):
    files = big_data()
    setups = pair(files, '1gib')
    log(f'1 GiB product under Wine ({BIG_RUNS} timed runs)')
    res = rounds(wine, setups, BIG_RUNS, label='1 GiB')
    pair_rows(res, setups, 7, f'1 GiB product ({BIG_RUNS} timed runs)', '<= 64 MiB')


# ---------------------------------------------------------------------------------------------
# 8. What the end-to-end figure depends on: msistub and the NSIS peer (silent) on the main
# product, alternating, with one factor changed from 2c/2d's way of measuring at a time.

QUESTION = [
    ('8a', 'as 2c/2d: reused prefix, persistent server, setup in the page cache, output folder '
           'removed, unmanaged windows, /proc read every 20 ms, clock to msiexec start', {}, 't'),
    ('8b', "the prefix's server stopped before each run (each run starts it and Wine's services)",
     {'server': 'cold'}, 't'),
    ('8c', 'a fresh copy of the prefix for each run (and so a new server)', {'prefix': 'fresh'}, 't'),
    ('8d', "clock stopped at the setup's exit (after msiexec's 300 ms) instead of at msiexec's start",
     {}, 'exit'),
    ('8e', 'the setup file dropped from the page cache before each run', {'setup_cache': 'cold'}, 't'),
    ('8f', "the previous run's files left in the output folder", {'output': 'left'}, 't'),
    ('8g', 'everything written back to disk (sync) before each run', {'sync': True}, 't'),
    ('8h', 'managed windows (Xvfb has no window manager)', {'managed': True}, 't'),
    ('8i', 'no /proc readings during the run', {'watch': False}, 't'),
    ('8j', 'two busy processes beside each run, at the same priority', {'hogs': 2}, 't'),
]


def cost_text(peer, mine):
    """Where the time of a run went, NSIS / msistub: the installer's CPU seconds, the seconds
    its threads waited for a CPU while runnable, and the server's CPU seconds."""
    if not mine['cpu'] or not max(mine['cpu']):
        return f'; server CPU {med(peer["server"]):.2f} / {med(mine["server"]):.2f} s'
    return (f'; CPU {med(peer["cpu"]):.2f} / {med(mine["cpu"]):.2f} s, waiting for a CPU '
            f'{med(peer["wait"]):.2f} / {med(mine["wait"]):.2f} s, server CPU '
            f'{med(peer["server"]):.2f} / {med(mine["server"]):.2f} s')


def bench_question(wine, setups):
    entries = [setups['msistub'], setups['nsis']]
    results = {}
    for n, what, variant, clock in QUESTION:
        if QUESTION_ONLY and n not in QUESTION_ONLY:
            continue
        log(f'measurement factor {n}: {what}')
        res = rounds(wine, entries, QUESTION_RUNS, variant, label=n)
        results[n] = res
        mine, peer = res['msistub'][clock], res['nsis'][clock]
        row(f'{n}. NSIS peer (silent) / msistub, {what} ({QUESTION_RUNS} timed runs)',
            f'{fmt(peer, "s")} / {fmt(mine, "s")}' + cost_text(res['nsis'], res['msistub']), '',
            f'{med(mine) / med(peer):.2f} x')
    # The NSIS script: the compressor most NSIS installers use, solid LZMA. Its build takes
    # minutes and its runs half a minute each: only when BENCH_FACTORS names it.
    if '8k' in QUESTION_ONLY:
        files = setups['nsis'].files
        lzma = Setup('nsis-lzma', nsis_setup(files, os.path.join(WORK, 'nsis', 'setup-nsis-lzma.exe'),
                                             'nsis-peer-lzma', compressor='SetCompressor /SOLID lzma'),
                     'nsis', files, 'nsis-peer-lzma')
        log('measurement factor 8k: NSIS with solid LZMA')
        res = rounds(wine, [setups['msistub'], lzma], QUESTION_RUNS, label='8k')
        mine, peer = res['msistub']['t'], res['nsis-lzma']['t']
        row(f'8k. NSIS peer (silent) / msistub, the NSIS script with SetCompressor /SOLID lzma '
            f'({os.path.getsize(lzma.exe) / MIB:.1f} MiB; {QUESTION_RUNS} timed runs)',
            f'{fmt(peer, "s")} / {fmt(mine, "s")}' + cost_text(res['nsis-lzma'], res['msistub']), '',
            f'{med(mine) / med(peer):.2f} x')
    return results


def bench_sizes(setups):
    stub = os.path.join(WIN, 'stub', 'msistub.exe')
    size = os.path.getsize(stub)
    row('3a. msistub.exe as built (stripped, no payload)', f'{size / MIB:.2f} MiB ({size} bytes)',
        '<= 1 MiB', verdict(size / MIB, 1.0))
    mine, peer = os.path.getsize(setups['msistub'].exe), os.path.getsize(setups['nsis'].exe)
    row('3b. 256 MiB setup: msistub', f'{mine / MIB:.1f} MiB', '',
        f'{mine / peer:.3f} x NSIS peer ({peer / MIB:.1f} MiB)')
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import mapsummary
    sizes = mapsummary.summarise(os.path.join(WIN, 'bench', 'msistub.map'))
    total = sum(sizes.values())
    top = sorted(sizes.items(), key=lambda kv: -kv[1])[:6]
    row('3c. What takes the space (linker map, bytes by archive)',
        ', '.join(f'{k} {v / 1024:.0f} KiB ({100 * v / total:.0f} %)' for k, v in top))
    # Would the low-level calls let the linker drop the provider? Programs linked as the stub.
    probes = {n: os.path.getsize(os.path.join(WIN, 'bench', f'bench_crypto_probe{n}.exe'))
              for n in (1, 2, 3)}
    row('3d. A program using only SHA-256 (SHA256_Init/Update/Final), linked as the stub',
        f'{probes[1] / 1024:.0f} KiB')
    row('3e. A program using one bignum call (BN_lebin2bn)', f'{probes[2] / MIB:.2f} MiB', '',
        f'{probes[2] / probes[1]:.0f} x 3d')
    row('3f. The record check through low-level calls only (SHA-256, RSA_set0_key, RSA_verify)',
        f'{probes[3] / MIB:.2f} MiB', '<= 1 MiB', verdict(probes[3] / MIB, 1.0))


# ---------------------------------------------------------------------------------------------

def row_id(figure):
    return figure.split('. ', 1)[0]


def read_table(path):
    """(run lines, rows) of an earlier results.md; run lines say which run gave which rows."""
    if not os.path.exists(path):
        return [], []
    runs, table = [], []
    for line in open(path, encoding='utf-8').read().splitlines():
        if line.startswith('- ') and not table:
            runs.append(line[2:])
        elif re.match(r'\d{4}-\d\d-\d\d \d\d:\d\d UTC, ', line) and not table:
            runs.append(line.rstrip('.') + ': every row not named below')  # a full run's header
        elif line.startswith('| ') and not line.startswith('| Figure |'):
            cells = [c.strip() for c in line.strip().strip('|').split(' | ')]
            table.append(tuple((cells + [''] * 4)[:4]))
    return runs, table


def merge_rows(old, new):
    """`old` with every row of `new` in place of the row of the same id; a new id goes behind
    the last row of its number (or at the end)."""
    merged = list(old)
    for r in new:
        ids = [row_id(x[0]) for x in merged]
        if row_id(r[0]) in ids:
            merged[ids.index(row_id(r[0]))] = r
            continue
        num = re.match(r'\d+', row_id(r[0])).group(0)
        same = [i for i, x in enumerate(ids) if re.match(r'\d+', x) and re.match(r'\d+', x).group(0) == num]
        merged.insert(same[-1] + 1 if same else len(merged), r)
    return merged


def write_table(groups, full):
    head = ('Figure', 'Value: median [min..max]', 'Target', 'Ratio')
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(4)]
    print()
    for r in [head] + rows:
        print('  '.join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    path = os.path.join(TOP, 'bench', 'results.md')
    try:
        commit = run(['git', '-C', TOP, 'rev-parse', '--short', 'HEAD'], stdout=subprocess.PIPE,
                     text=True).stdout.strip()
        if run(['git', '-C', TOP, 'diff', '--quiet', 'HEAD', '--', '.', ':!bench/results.md'],
               check=False).returncode:
            commit += ' with changes'
    except (OSError, subprocess.CalledProcessError):
        commit = 'unknown'
    this = (f'{time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(STARTED))}, tree {commit}, '
            f'{os.cpu_count()} cores, load average {LOAD:.1f} at the start, {RUNS} timed runs per '
            f'figure unless the figure says otherwise, seed {SEED}')
    runs, old = read_table(path)
    new = [tuple(c.replace('|', '/') for c in r) for r in rows]
    table = merge_rows(old, new)
    if full:  # rows only a partial run gives (such as 8k) stay, with the line of their run
        kept = [row_id(r[0]) for r in table if row_id(r[0]) not in {row_id(n[0]) for n in new}]
        runs = [line for line in runs if ': rows ' in line
                and set(line.split(': rows ', 1)[1].split(', ')) & set(kept)]
        runs.append(this + (': every row but ' + ', '.join(kept) if kept else ': every row'))
    else:
        runs.append(this + f' (`bench/run.py {" ".join(groups)}`): rows '
                    + ', '.join(row_id(r[0]) for r in rows))
        # A run whose rows all come from later runs gave none of the table any more.
        named = [set(line.split(': rows ', 1)[1].split(', ')) if ': rows ' in line else None
                 for line in runs]
        runs = [line for i, line in enumerate(runs)
                if named[i] is None or named[i] - set().union(*[n for n in named[i + 1:] if n])]
    with open(path, 'w') as f:
        f.write('# msistub benchmarks\n\nRuns that gave the rows below (the latest last; a row comes '
                'from the latest run that names it):\n\n')
        for line in runs:
            f.write(f'- {line}\n')
        f.write('\n| ' + ' | '.join(head) + ' |\n|' + '---|' * 4 + '\n')
        for r in table:
            f.write('| ' + ' | '.join(c.replace('|', '/') for c in r) + ' |\n')
        for n in notes:
            f.write(f'\n{n}\n')


NOTES = [
    'Load: the rows of the 21:26 run were taken on the quiet machine (nothing else running; '
    'load average 0.5 at the start). Row 8k comes from the 17:14 run, taken with `nice -n 10` '
    'while four other developers built and tested on the same 2 cores; under such load a timed '
    'figure under Wine moves by up to 2-5 x from one run to the next, and every process waits '
    'for a CPU about as long as it runs (2l, 6e, 8.); CPU times (2k, 6e, 7e) and ratios of '
    'alternating runs move less.',
    'New memory (0a-0c): on this VM the first write to a page of new memory costs what 0a shows '
    'per page (10.1 us at 11:15, a few us later in the day), and memory already in use is '
    'written about as fast as 0b; a desktop pays well under a microsecond a page. Every program '
    'pays it for each MiB it first writes. The stub before streaming read its setup into a new '
    'block and decoded every file into new blocks before it wrote one; measured at 17:31 under '
    'the same load as the rows now in the table: 337 MiB peak for the 256 MiB product (4b), '
    '320 MiB on the second mix (6c) and 1,262 MiB for the 1 GiB product (7c); 124,668 minor page '
    'faults against the NSIS peer\'s 2,375 (2i); 2d 1.55 s against 2c 2.65 s (0.58 x), 6b 4.47 s '
    'against 6a 6.00 s, 7b 5.30 s against 7a 7.25 s; CPU time 0.64 s against 0.97 s (2k).',
    'The streaming stub: it reads its container\'s small parts only, decodes segments on a '
    'worker thread into buffers allocated once and writes as it goes, so its peak memory no '
    'longer grows with the product (4b, 6c, 7c: about 32 MiB for 256 MiB and for 1 GiB alike, '
    'where the stub before streaming took 337 and 1,262 MiB). Its minor page faults fell from '
    '124,668 before streaming to about 12,400 with the first streaming stub and to about 3,800 '
    'now (2i, 6d, 7d), found with `perf record -e page-faults` under Wine: a 4 MiB read-back '
    'buffer mapped afresh for every file (about 2,000 faults a cabinet: Wine\'s read checks '
    'each page of a buffer, reading then writing it, before it reads into it, so memory never '
    'written faults twice), stored-bytes buffers reallocated as segments grew, and on two '
    'processors a second worker thread (each new thread under Wine clears 960 KiB of its '
    'stack: about 240 faults) with its buffers, while the step that hashes and writes needs '
    'the other processor anyway. Now the read-back goes through 64 KiB on the stack, the '
    'ring\'s buffers are allocated once at the largest segment and the stored ones written '
    'before their first read, workers are one fewer than the processors, and the stub\'s '
    'sections are page-aligned in its file so that the loader maps them instead of copying '
    'them in (about 360 faults). The end-to-end time did not change (2d).',
    'Timed figures: median of the timed runs, [min..max] beside it. Under Wine the first round '
    'only warms caches. End to end = from starting `wine <setup> /qn` (host clock) to the '
    'recording msiexec.exe\'s own clock reading (system32, WINEDLLOVERRIDES=msiexec.exe=n); '
    '2a is what Wine\'s process start alone costs on that scale. The bench prefix sets '
    '`HKCU\\Software\\Wine\\X11 Driver` `Managed`=`N`: Xvfb has no window manager, and Wine '
    'would otherwise wait up to 2 s for one to take each top-level window (a desktop has one; 8h '
    'shows the wait). The msistub setups are the signed stub with the container in its '
    'certificate table (the default attach mode). Readings of the installer\'s process, every '
    '20 ms while it runs (the recording msiexec waits 300 ms before it exits): peak memory '
    '(VmHWM), minor page faults, CPU time (user + system of all threads, 2k) and the time its '
    'threads were runnable but waited for a CPU (/proc/<pid>/task/*/schedstat, 2l). 2f/2g: the '
    'same files written by the bare writer loop and under the progress dialog in one Wine '
    'process (bench_dialog); the difference, less an empty dialog, is the time between writer '
    'batches. 6. and 7. run msistub and the silent NSIS peer alternately as 2c/2d do, on the '
    'second data mix (tools/make-product.sh --mix blocks) and on a product of two 512 MiB '
    'cabinets (3 timed runs, BENCH_BIG_RUNS).',
    'Segmented decode (1o-1t, bench_segment_win): the 64 MiB file of 1a-1n as one zlib stream '
    'cut into 1 MiB segments (zlib level 9 with a full flush at each boundary: the layout the '
    'packer writes, from another compressor), decoded sixteen times per figure into a buffer '
    'touched before the runs. The decoding threads are started once before the runs and woken '
    'for each decode, as the stub starts its workers once for a run; started anew for each '
    'decode (the first version of this bench), the two threads cost about a millisecond of a '
    '10 ms decode under Wine and 1q came to 1.47-1.52 x on the quiet machine. 1q writes a 64 MiB '
    'buffer and so also measures memory bandwidth (a plain 64 MiB copy on two threads runs '
    'only about 1.4 x as fast as on one here); 1t decodes as the stub\'s workers do, each '
    'thread into one segment buffer of its own, reused. 1s: the two threads together use '
    'about 1.1 x the CPU time of one. 1r: with SHA-256 in order on the consumer, the hash '
    'bounds it (1.2 x).',
    'What the end-to-end figure depends on (8.): an independent measurement on this machine '
    '(unmanaged windows, alternating runs) found the NSIS peer at 3.5-5.9 s and msistub at '
    '0.5-0.87 x of it, against 1.2 s and 1.79 x in the 11:15 run of 2c/2d (the stub before '
    'streaming). 8a-8k change one factor at a time from 2c/2d\'s way of measuring (3 timed runs '
    'each). Wall time is about CPU time plus time spent waiting for a CPU. In the 17:14-17:48 '
    'runs, under four developers\' builds and with the stub before streaming, each installer '
    'waited for a CPU about as long as it ran (8a: the NSIS peer 2.95 s, of which 1.04 s CPU and '
    '1.81 s waiting; msistub 1.42 s, 0.59 s CPU, 0.74 s waiting; 8j with two more busy '
    'processes: the peer 7.16 s, 5.98 s of it waiting), and the NSIS peer, which needs about '
    'half as much CPU time again as msistub (2k: zlib against libdeflate), lost the more '
    'seconds: that is the independent measurement\'s picture. At 11:15 nothing else ran and a '
    'first write to new memory cost 10.1 us a page (0a), which priced the old stub\'s ~100,000 '
    'page faults at about 1 s: that is the 1.79 x. The rows now in the table (21:26, quiet '
    'machine, streaming stub) show the factors the question names move both installers and do '
    'not turn the ratio round: a stopped server or a fresh prefix (8b, 8c) adds Wine\'s start '
    '(about 0.2 s of server CPU and a little more) to both; the clock stopped at the setup\'s '
    'exit (8d) adds msiexec\'s 300 ms and each installer\'s own exit to both; the setup '
    'dropped from the page cache (8e) or everything written back first (8g) change little; '
    'the earlier files left in the output folder (8f) let msistub reuse them by digest (0.37 s) '
    'while the NSIS peer writes them again; two busy processes beside the run (8j) add about '
    '0.4-0.5 s of waiting to each. Solid LZMA in the NSIS script (8k, 17:14) takes 20-55 s. '
    'Managed windows (8h) slow msistub alone (its progress window waits up to 2 s for a window '
    'manager Xvfb does not have; a desktop has one). What a user sees is about CPU time plus '
    'Wine\'s start (2a): msistub ahead, about 0.5 x (2d, 2k), neither taking seconds.',
    'Stub size (3d-3f): the low-level calls do not let the linker drop the provider. SHA-256 '
    'alone keeps a few dozen KiB (3d), but any bignum call keeps all of it: the bignum code reports failures '
    'through the error queue, whose first use runs libcrypto\'s initialisation '
    '(OPENSSL_init_crypto), and that registers the library\'s clean-up, which reaches the random '
    'generator, EVP fetching and the provider store with its built-in default provider and every '
    'algorithm table it lists. The library is already built with only RSA and SHA-2 enabled, '
    'no-err, -Os and one section per function for --gc-sections (tools/build-openssl-mingw.sh). '
    'What stands in the way is that link inside libcrypto 3.0 itself: reaching 1 MiB would need '
    'a patched libcrypto or another library, and neither is an option here.',
]


GROUPS = ('build', 'decode', 'pack', 'packer', 'hostile', 'windecode', 'e2e', 'mix', 'big', 'question',
          'sizes')
WINE_GROUPS = {'windecode', 'e2e', 'mix', 'big', 'question'}


def main():
    """bench/run.py [GROUP...]: every group by default (make bench); otherwise only the groups
    named (`wine` stands for all groups under Wine), their rows replacing those of the same
    number in bench/results.md and the rest kept."""
    notes.extend(NOTES)
    if os.environ.get('BENCH_NOTE'):  # what else ran on the machine, for instance
        notes.append(os.environ['BENCH_NOTE'])
    groups = []
    for g in sys.argv[1:] or GROUPS:
        for x in (sorted(WINE_GROUPS) if g == 'wine' else [g]):
            if x not in GROUPS:
                sys.exit(f'bench/run.py: unknown group {x}; groups: {", ".join(GROUPS)}, wine')
            groups.append(x)
    full = set(groups) == set(GROUPS)

    def timed_group(name, fn):
        begin = time.time()
        result = fn()
        log(f'group {name} took {time.time() - begin:.0f} s')
        return result

    if 'build' in groups:
        timed_group('build', build_trees)
    if 'hostile' in groups:
        timed_group('hostile', bench_hostile)
    if 'packer' in groups:  # the packaging tool's rows 5c-5f (pack_rows.py)
        import pack_rows
        timed_group('packer', lambda: pack_rows.bench_packer(sys.modules[__name__]))
    if set(groups) - {'build', 'hostile', 'packer'}:
        files = timed_group('data', make_data)
        if 'decode' in groups:
            timed_group('decode', lambda: (bench_memory(), bench_decode(files)))
        if 'pack' in groups:
            timed_group('pack', lambda: bench_pack(files))
        setups = timed_group('setups', lambda: make_setups(files))
        if set(groups) & WINE_GROUPS:
            wine = Wine()
            try:
                for g, fn in (('windecode', lambda: bench_windecode(wine, files)),
                              ('e2e', lambda: bench_e2e(wine, files, setups)),
                              ('mix', lambda: bench_mix(wine)), ('big', lambda: bench_big(wine)),
                              ('question', lambda: bench_question(wine, setups))):
                    if g in groups:
                        timed_group(g, fn)
            finally:
                wine.close()
        if 'sizes' in groups:
            timed_group('sizes', lambda: bench_sizes(setups))
    if rows:
        write_table(groups, full)
    log(f'done in {time.time() - STARTED:.0f} s')


if __name__ == '__main__':
    main()

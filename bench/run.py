#!/usr/bin/env python3
"""make bench: builds the Release bench trees, runs every benchmark and prints one table
(figure, median with min and max, target, ratio), also written as Markdown to
bench/results.md. Ratios compare figures measured side by side in this run on this machine.

Trees: build/bench-host (native, Release, no sanitizers), build/bench-win64 (the stub,
Release) and build/bench-win64-onestep (the same with one writer step per timer message).
Data: build/bench-data (tools/make-product.sh, seeded, uncompressed cabinets so that the
decoded sizes are what the setup carries). Work files and the Wine prefix: build/bench-work.

Environment: BENCH_RUNS (timed runs per figure, default 5), BENCH_SEED (default 1), BENCH_NOTE
(a note added below the table, such as what else ran on the machine).
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
SEED = int(os.environ.get('BENCH_SEED', '1'))
CODE = '{5B0E6C1A-3D2F-4E8B-9A7C-6D5E4F3A2B10}'
MIB = 1 << 20

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
    jobs = os.environ.get('JOBS', str(os.cpu_count() or 2))
    for tree, extra, targets in trees:
        log(f'building {os.path.relpath(tree, TOP)}')
        run(['cmake', '-S', TOP, '-B', tree] + common + extra, stdout=subprocess.DEVNULL)
        run(['cmake', '--build', tree, '-j', jobs, '--target'] + targets, stdout=subprocess.DEVNULL)


# ---------------------------------------------------------------------------------------------
# Data

def make_data():
    d = os.path.join(DATA, f'seed{SEED}-two-media')
    stamp = os.path.join(d, '.complete')
    files = {'msi': os.path.join(d, 'bench.msi'), 'cab1': os.path.join(d, 'bench1.cab'),
             'cab2': os.path.join(d, 'bench2.cab'), 'decode': os.path.join(d, 'decode.cab')}
    if os.path.exists(stamp):
        return files
    log(f'generating data (seed {SEED})')
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    mp = os.path.join(TOP, 'tools', 'make-product.sh')
    # One MSI whose Media table names two cabinets of 128 MiB each (text-like, binary-like,
    # incompressible); the packaging tool packs only cabinets the MSI names.
    run([mp, d, '--name', 'Bench Product', '--code', CODE, '--size-mb', '128', '--seed', str(SEED),
         '--store', '--msi', 'bench.msi', '--cab', 'bench1.cab', '--second-cab', 'bench2.cab'])
    other = os.path.join(d, 'other')
    run([mp, other, '--size-mb', '64', '--seed', str(SEED + 2), '--store', '--cab', 'decode.cab'])
    os.rename(os.path.join(other, 'decode.cab'), files['decode'])
    shutil.rmtree(other)
    open(stamp, 'w').close()
    return files


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


def make_setups(files):
    os.makedirs(WORK, exist_ok=True)
    setups = {name: os.path.join(WORK, f'setup-{name}.exe') for name in ('msistub', 'onestep')}
    stubs = {name: sign_stub(os.path.join(tree, 'stub', 'msistub.exe'),
                             os.path.join(WORK, f'stub-{name}-signed.exe'))
             for name, tree in (('msistub', WIN), ('onestep', ONESTEP))}
    pack = os.path.join(HOST, 'pack', 'msistub-pack')

    def pack_cmd(stub, out):
        return [pack, 'build', '--allow-development-key', '--key', os.path.join(KEYDIR, 'payload-private.pem'),
                '--package', f'x64:1033:{CODE}:Bench Product:{files["msi"]}',
                '--cab', f'{files["cab1"]}:1000', '--cab', f'{files["cab2"]}:1000',
                '--stub', stub, '--out', out]

    # 5. Packaging time against zlib level 9 of the same bytes (one core each), interleaved.
    log('packaging time')
    pack_times, floor_times = [], []
    inputs = [files['msi'], files['cab1'], files['cab2']]
    for _ in range(RUNS):
        out = setups['msistub']
        if os.path.exists(out):
            os.remove(out)
        start = time.monotonic()
        run(pack_cmd(stubs['msistub'], out), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pack_times.append(time.monotonic() - start)
        text = run([os.path.join(HOST, 'bench', 'bench_floor'), 'deflate', '1'] + inputs,
                   stdout=subprocess.PIPE, text=True).stdout
        floor_times += [float(x) for x in re.findall(r'seconds (\S+)', text)]
    if os.path.exists(setups['onestep']):
        os.remove(setups['onestep'])
    run(pack_cmd(stubs['onestep'], setups['onestep']), stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)

    # The peers: the same MSI and cabinets in an NSIS installer (zlib, not solid) that extracts
    # them to a folder and runs msiexec /i the same way; one silent, one showing its own
    # progress page (closed by itself when done), as msistub shows its dialog.
    nsis_dir = os.path.join(WORK, 'nsis')
    os.makedirs(nsis_dir, exist_ok=True)
    for name, folder, ui in (('nsis', 'nsis-peer', 'SilentInstall silent'),
                             ('nsis-window', 'nsis-peer-window', 'AutoCloseWindow true\nPage instfiles')):
        script = os.path.join(nsis_dir, f'{name}.nsi')
        setups[name] = os.path.join(WORK, f'setup-{name}.exe')
        with open(script, 'w') as f:
            f.write(f'''Unicode true
Target amd64-unicode
SetCompressor zlib
Name "Bench Product"
OutFile "{setups[name]}"
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
''')
        log(f'building the NSIS peer ({name})')
        run(['makensis', '-V1', script], stdout=subprocess.DEVNULL)

    row('5a. Packaging floor: zlib level 9 of the MSI and cabinets (one core)', fmt(floor_times, 's'))
    row(f'5b. Packaging: msistub-pack build (libdeflate level 9, one file per core on {os.cpu_count()} '
        'cores; compress, sign, attach to the signed stub)', fmt(pack_times, 's'),
        '<= 1.0 x 5a',
        verdict(statistics.median(pack_times) / statistics.median(floor_times), 1.0))
    return setups


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


# 5c-5d. The packaging tool on a hostile container: verify looks every record up once through
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
    row('5c. msistub-pack verify of a hostile container: 40,000 empty records (1.1 MB)',
        fmt(times[40000], 's'))
    row('5d. The same with 80,000 empty records (2.2 MB)', fmt(times[80000], 's'),
        '~2 x 5c (linear)', f'{statistics.median(times[80000]) / statistics.median(times[40000]):.2f} x 5c')


# ---------------------------------------------------------------------------------------------
# Wine: the prefix, the recording msiexec, the display

class Wine:
    def __init__(self):
        self.prefix = os.path.join(WORK, 'wineprefix')
        self.record = os.path.join(WORK, 'msiexec-record.txt')
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG='-all',
                        WINEDLLOVERRIDES='msiexec.exe=n;mscoree,mshtml=',
                        LANG='en_US.UTF-8', LC_ALL='en_US.UTF-8',
                        MSISTUB_BENCH_RECORD='Z:' + self.record.replace('/', '\\'),
                        MSISTUB_BENCH_HOLD_MS='300')
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
        run(['wine', 'reg', 'add', 'HKCU\\Software\\Wine\\X11 Driver', '/v', 'Managed', '/t', 'REG_SZ',
             '/d', 'N', '/f'], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run(['wineserver', '-w'], env=self.env)
        system32 = os.path.join(self.prefix, 'drive_c', 'windows', 'system32')
        shutil.copy(os.path.join(WIN, 'bench', 'bench_msiexec.exe'), os.path.join(system32, 'msiexec.exe'))
        # A persistent server: no run pays for starting it.
        self.server = subprocess.Popen(['wineserver', '-f', '-p'], env=self.env)
        time.sleep(1)

    def close(self):
        run(['wineserver', '-k'], env=self.env, check=False)
        self.server.wait()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    def winpath(self, path):
        return 'Z:' + path.replace('/', '\\')

    def timed(self, exe, args=()):
        """Runs exe under Wine; returns (seconds from start to the recorded msiexec start,
        the recorded command line, peak VmHWM in bytes of exe's process, the minor page faults
        it had taken by its last reading)."""
        if os.path.exists(self.record):
            os.remove(self.record)
        name = os.path.basename(exe)
        start = time.time()
        proc = subprocess.Popen(['wine', exe] + list(args), env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        peak = faults = 0
        while proc.poll() is None:
            hwm, minflt = memory_of(name)
            peak, faults = max(peak, hwm), max(faults, minflt)
            time.sleep(0.02)
        if proc.returncode != 0:
            raise RuntimeError(f'{name} exited with {proc.returncode}')
        with open(self.record, encoding='utf-8', errors='replace') as f:
            stamp, line = f.readline().rstrip('\r\n').split(' ', 1)
        return float(stamp) - start, line, peak, faults


def memory_of(name):
    """(largest VmHWM in bytes, most minor page faults) among the processes running `name`."""
    peak = faults = 0
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open(f'/proc/{pid}/cmdline', 'rb') as f:
                cmd = f.read()
            if name.encode() not in cmd or b'wineserver' in cmd:
                continue
            with open(f'/proc/{pid}/status') as f:
                m = re.search(r'VmHWM:\s+(\d+) kB', f.read())
            if m:
                peak = max(peak, int(m.group(1)) * 1024)
            with open(f'/proc/{pid}/stat') as f:
                # minflt is the 10th field; the command name (2nd) may hold blanks.
                faults = max(faults, int(f.read().rsplit(')', 1)[1].split()[7]))
        except (OSError, IndexError, ValueError):
            pass
    return peak, faults


# ---------------------------------------------------------------------------------------------
# 2., 3., 4. End to end under Wine, sizes, peak memory

def bench_wine(files, setups):
    wine = Wine()
    try:
        return bench_wine_runs(wine, files, setups)
    finally:
        wine.close()


def bench_wine_runs(wine, files, setups):
    c = os.path.join(wine.prefix, 'drive_c')
    stub_folder = os.path.join(c, 'windows', 'Installer', CODE)
    # Found after the first run: Wine's %TEMP% differs between versions.
    nsis_folders = {'nsis': None, 'nsis-window': None}
    msiexec = os.path.join(WIN, 'bench', 'bench_msiexec.exe')
    names = ('msistub', 'onestep', 'nsis', 'nsis-window', 'start')
    times = {k: [] for k in names}
    peaks = {k: [] for k in names}
    faults = {k: [] for k in names}
    log('end to end under Wine')
    for i in range(RUNS + 1):  # the first round warms the caches and is not counted
        for name in names:
            shutil.rmtree(stub_folder, ignore_errors=True)
            for folder in nsis_folders.values():
                if folder:
                    shutil.rmtree(folder, ignore_errors=True)
            if name == 'start':  # Wine's own process start: the recording msiexec alone
                t, line, peak, flt = wine.timed(msiexec)
            else:
                t, line, peak, flt = wine.timed(setups[name], ['/qn'])
                if ' /i ' not in f' {line} ' and '/i' not in line.split():
                    raise RuntimeError(f'{name}: unexpected installer command line {line}')
                if '.msi' not in line.lower():
                    raise RuntimeError(f'{name}: the command line names no MSI: {line}')
            if name in nsis_folders and not nsis_folders[name]:
                want = 'nsis-peer' if name == 'nsis' else 'nsis-peer-window'
                found = [os.path.join(r, d) for r, ds, _ in os.walk(os.path.join(c, 'users'))
                         for d in ds if d == want]
                if len(found) != 1:
                    raise RuntimeError(f'NSIS peer: extraction folder not found ({found})')
                nsis_folders[name] = found[0]
            # Everything extracted has the size of its source.
            folder, msi_names = {'msistub': (stub_folder, ('main.msi',)), 'onestep': (stub_folder, ('main.msi',)),
                                 'nsis': (nsis_folders['nsis'], ('bench.msi',)),
                                 'nsis-window': (nsis_folders['nsis-window'], ('bench.msi',))}.get(name, (None, ()))
            if folder:
                for got, src in zip(msi_names + ('bench1.cab', 'bench2.cab'),
                                    (files['msi'], files['cab1'], files['cab2'])):
                    if os.path.getsize(os.path.join(folder, got)) != os.path.getsize(src):
                        raise RuntimeError(f'{folder}/{got} was written with a wrong size')
            if i > 0:
                times[name].append(t)
                peaks[name].append(peak)
                faults[name].append(flt)
        log(f'round {i}: ' + ', '.join(f'{k} {v[-1]:.2f}s' for k, v in times.items() if v))
    log('decode throughput under Wine')
    text = run(['wine', os.path.join(WIN, 'bench', 'bench_decode_win.exe'), str(RUNS),
                wine.winpath(files['decode'])], env=wine.env, stdout=subprocess.PIPE,
               stderr=subprocess.DEVNULL, text=True).stdout
    dec = {k: [64 / float(x) for x in re.findall(r'(?m)^' + k + r' (\S+)', text)]
           for k in ('floor', 'ldfloor', 'fresh', 'ldfresh', 'load', 'sized')}
    bombs = {k: [float(x) for x in re.findall(r'(?m)^' + k + r' (\S+)', text)] for k in ('bombload', 'bombsized')}

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

    med = {k: statistics.median(v) for k, v in times.items() if v}
    dm = {k: statistics.median(v) for k, v in dec.items()}
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
            fmt(bombs[key], 's', digits=3), '< 1 s', verdict(statistics.median(bombs[key]), 1.0))
    row('2a. Wine process start alone (the recording msiexec.exe, start to record)',
        fmt(times['start'], 's'))
    row('2b. End to end floor: native inflate + SHA-256 + write (256 MiB)', fmt(floor, 's'))
    row('2c. End to end: NSIS peer, silent (zlib, not solid), start to msiexec start', fmt(times['nsis'], 's'))
    row('2c\'. End to end: NSIS peer showing its progress page (auto-close)', fmt(times['nsis-window'], 's'))
    row('2d. End to end: msistub setup /qn (progress dialog), start to msiexec start', fmt(times['msistub'], 's'),
        '<= 0.75 x 2c; < 1.0 x 2c\'; <= 1.5 x floor',
        f'{verdict(med["msistub"] / med["nsis"], 0.75)} 2c; '
        f'{verdict(med["msistub"] / med["nsis-window"], 0.999)} 2c\'; '
        f'{verdict(med["msistub"] / statistics.median(floor), 1.5)} floor')
    row('2e. End to end: msistub, one writer step per timer message', fmt(times['onestep'], 's'),
        '', f'{med["onestep"] / med["msistub"]:.2f} x batched msistub')
    gap, bare, ticks, empty = gaps['msistub']
    row('2f. msistub: time between writer batches (dialog - bare writer loop - empty dialog)',
        fmt(gap, 's') + f', {statistics.median(ticks):.0f} timer messages; bare loop '
        + fmt(bare, 's'), '', f'{statistics.median(gap) / med["msistub"] * 100:.1f} % of 2d')
    gap1, bare1, ticks1, _ = gaps['onestep']
    row('2g. Same, one writer step per timer message', fmt(gap1, 's') +
        f', {statistics.median(ticks1):.0f} timer messages', '',
        f'{statistics.median(gap1) / med["onestep"] * 100:.1f} % of 2e')
    row('2h. An empty progress dialog shown and closed (Wine on Xvfb, unmanaged windows)',
        fmt(empty, 's'), '', f'{statistics.median(empty) / med["msistub"] * 100:.1f} % of 2d')
    mf = {k: statistics.median(v) for k, v in faults.items() if v}
    row('2i. Minor page faults: msistub process / NSIS peer process (silent)',
        f'{mf["msistub"]:.0f} / {mf["nsis"]:.0f}', '', f'{mf["msistub"] / mf["nsis"]:.1f} x')
    if 'fault_us' in machine:
        # What the two would take where a first write to a page costs nothing: an estimate.
        cost = machine['fault_us'] / 1e6
        mine, peer = med['msistub'] - mf['msistub'] * cost, med['nsis'] - mf['nsis'] * cost
        row('2j. Estimate: 2d and 2c less their page faults (2i) at the cost 0a measured',
            f'{mine:.2f} s / {peer:.2f} s', '', f'{mine / peer:.2f} x')

    # 4. Peak memory against what the design holds at once: the image and every decoded file.
    image = os.path.getsize(setups['msistub'])
    decoded = sum(os.path.getsize(files[k]) for k in ('msi', 'cab1', 'cab2'))
    row('4a. Peak memory (VmHWM) of a Wine process that does nothing (recording msiexec)',
        fmt(peaks['start'], 'MiB', 1 / MIB, 0))
    row('4b. Peak memory (VmHWM) of the msistub process', fmt(peaks['msistub'], 'MiB', 1 / MIB, 0),
        f'<= 1.05 x (image + decoded = {(image + decoded) / MIB:.0f} MiB)',
        verdict(statistics.median(peaks["msistub"]) / (image + decoded), 1.05) + ' image + decoded')
    row('4c. Peak memory (VmHWM) of the NSIS peer process (silent)', fmt(peaks['nsis'], 'MiB', 1 / MIB, 0),
        '', f'msistub {statistics.median(peaks["msistub"]) / statistics.median(peaks["nsis"]):.2f} x this')
    row('4d. Peak memory (VmHWM) of the NSIS peer showing its page', fmt(peaks['nsis-window'], 'MiB', 1 / MIB, 0))


def bench_sizes(setups):
    stub = os.path.join(WIN, 'stub', 'msistub.exe')
    size = os.path.getsize(stub)
    row('3a. msistub.exe as built (stripped, no payload)', f'{size / MIB:.2f} MiB ({size} bytes)',
        '<= 1 MiB', verdict(size / MIB, 1.0))
    mine, peer = os.path.getsize(setups['msistub']), os.path.getsize(setups['nsis'])
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

def write_table():
    head = ('Figure', 'Value: median [min..max]', 'Target', 'Ratio')
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(4)]
    print()
    for r in [head] + rows:
        print('  '.join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    with open(os.path.join(TOP, 'bench', 'results.md'), 'w') as f:
        f.write(f'# msistub benchmarks\n\n{time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}, '
                f'{os.cpu_count()} cores, {RUNS} timed runs per figure, seed {SEED}.\n\n')
        f.write('| ' + ' | '.join(head) + ' |\n|' + '---|' * 4 + '\n')
        for r in rows:
            f.write('| ' + ' | '.join(c.replace('|', '/') for c in r) + ' |\n')
        for n in notes:
            f.write(f'\n{n}\n')


NOTES = [
    'New memory (0a-0c): on this VM the first write to a page of new memory costs what 0a shows '
    'per page, and memory already in use is written about as fast as 0b; a desktop pays well '
    'under a microsecond a page. Every program pays it for each MiB it first writes: msistub '
    'reads its setup into a new block and decodes every file into new blocks before it writes '
    'one (image + decoded, 4b), while the NSIS peer streams through small buffers. Most of the '
    'gap between 2d and 2c, and most of the time in 1c-1f and 1i-1l, is this cost, which '
    'neither decoder can avoid with the design as it is.',
    'Timed figures: median of the timed runs, [min..max] beside it. Under Wine the first round '
    'only warms caches. End to end = from starting `wine <setup> /qn` (host clock) to the '
    'recording msiexec.exe\'s own clock reading (system32, WINEDLLOVERRIDES=msiexec.exe=n); '
    '2a is what Wine\'s process start alone costs on that scale. The bench prefix sets '
    '`HKCU\\Software\\Wine\\X11 Driver` `Managed`=`N`: Xvfb has no window manager, and Wine '
    'would otherwise wait up to 2 s for one to take each top-level window (a desktop has one). The msistub setups are the '
    'signed stub with the container in its certificate table (the default attach mode). Peak memory: VmHWM of the process, read every 20 ms while it runs (the '
    'recording msiexec waits 300 ms before it exits). 2f/2g: the same files written by the bare '
    'writer loop and under the progress dialog in one Wine process (bench_dialog); the '
    'difference, less an empty dialog, is the time between writer batches.',
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


def main():
    notes.extend(NOTES)
    if os.environ.get('BENCH_NOTE'):  # what else ran on the machine, for instance
        notes.append(os.environ['BENCH_NOTE'])
    only = sys.argv[1:] or ['build', 'decode', 'hostile', 'packer', 'wine', 'sizes']
    if 'build' in only:
        build_trees()
    if 'hostile' in only:
        bench_hostile()
    if 'packer' in only:  # the packaging tool's rows 5c-5f (pack_rows.py)
        import pack_rows
        pack_rows.bench_packer(sys.modules[__name__])
    if not {'decode', 'wine', 'sizes'} & set(only):
        write_table()
        return
    files = make_data()
    if 'decode' in only:
        bench_memory()
        bench_decode(files)
    setups = None
    if 'wine' in only or 'sizes' in only:
        setups = make_setups(files)
    if 'wine' in only:
        bench_wine(files, setups)
    if 'sizes' in only:
        bench_sizes(setups)
    write_table()


if __name__ == '__main__':
    main()

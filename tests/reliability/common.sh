# Shared by the reliability scripts (sourced). They run in a Wine prefix of their own,
# <build>/reliability-prefix, because they replace msiexec.exe in its system32 and mount a
# small disk as its Installer folder; CTest serialises them with a resource lock.
#
#   make_setup DIR NAME CODE SIZE_MB [--store] [--segment-size N]
#                                      a real product (wixl MSI + gcab cabinet) in DIR/product,
#                                      packed into DIR/setup.exe (signed stub, certificate
#                                      table); --store: an uncompressed cabinet (about SIZE_MB
#                                      MiB decoded); --segment-size: msistub-pack's option
#   new_code                           a fresh product code (each run installs its own products)
#   records FILE                       the records of the container at FILE's end, first record
#                                      first: "kind id start signature end" (byte offsets in
#                                      FILE, from msistub-pack inspect --json)
#   record_layout FILE ID              "START STORED SEGMENTS LAST" of record ID of the setup
#                                      FILE, from msistub-pack inspect --json: file offset and
#                                      size of its stored bytes, its segment count and the file
#                                      offset of its last segment's first stored byte
#   flip_byte FILE OFFSET              inverts the byte at OFFSET in place
#   staging_names DIR / other_names DIR  the names in DIR that are the stub's temporary names
#                                      (~msistub-<16 hex digits>.tmp) / all the others, sorted
#   kill_when_growing DIR IMAGE        waits for a temporary file in DIR that grows, then kills
#                                      (SIGKILL) the Linux process of the Windows program IMAGE
#                                      of this prefix; prints "NAME SIZE-SEEN SIZE-AT-KILL"
#   snapshot                           every path under drive_c except logs and temp folders
#   start_stub LOG ARGS...             the program through launch.exe, in the background, with
#                                      message box tracing into LOG; sets STUB_PID
#   wait_box LOG CAPTION               waits for a traced box and a window so captioned; sets
#                                      BOX_TEXT and BOX_WINDOWS (how many windows of the
#                                      prefix carry the caption: tests/wine/answer.exe)
#   answer KEY                         gives KEY to the box (the dialog so captioned)
#   finish_stub LOG                    waits for the program's end; sets EXIT_CODE and BOXES
#   stop_wine                          ends a program left running by a failed check, and the
#                                      prefix's wineserver
#   fake_msiexec / real_msiexec        puts the stand-in installer (fake_msiexec.c) or the real
#                                      msiexec.exe into the prefix's system32; the first call
#                                      saves the real one, and the stand-in loads only with a
#                                      native override, so both set WINEDLLOVERRIDES
export WINEPREFIX=$MSISTUB_BUILD/reliability-prefix
. "$MSISTUB_SOURCE/stub/tests/box.sh"
PACK=$MSISTUB_HOST_BUILD/pack/msistub-pack
KEY=${RELIABILITY_KEY:?private payload key}
STUB=$MSISTUB_BUILD/stub/msistub.exe
INSTALLER=$WINEPREFIX/drive_c/windows/Installer
TEXT101="The installation file is either corrupted or does not support your processor architecture."
[ -x "$PACK" ] || fail "no msistub-pack in $PACK"
"$MSISTUB_WINE" cmd /c exit 0 >/dev/null 2>&1  # the prefix exists from here on

new_code() { python3 -c 'import uuid; print("{%s}" % str(uuid.uuid4()).upper())'; }

make_setup() {
  local dir=$1 name=$2 code=$3 size=$4 product_options=() pack_options=()
  shift 4
  while [ $# -gt 0 ]; do
    case $1 in
      --store) product_options+=(--store); shift ;;
      --segment-size) pack_options+=(--segment-size "$2"); shift 2 ;;
      *) fail "make_setup: unknown option $1" ;;
    esac
  done
  rm -rf "$dir"; mkdir -p "$dir"
  "$MSISTUB_SOURCE/tools/make-product.sh" "$dir/product" --name "$name" --code "$code" \
    --size-mb "$size" "${product_options[@]}" >/dev/null || fail "make-product"
  openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=msistub reliability" -days 2 \
    -addext extendedKeyUsage=codeSigning -keyout "$dir/signer.key" -out "$dir/signer.crt" \
    >/dev/null 2>&1 || fail "no test certificate"
  osslsigncode sign -certs "$dir/signer.crt" -key "$dir/signer.key" -in "$STUB" \
    -out "$dir/stub-signed.exe" >/dev/null || fail "signing"
  "$PACK" build --key "$KEY" --allow-development-key --package "x64:1033:$code:$name:$dir/product/product.msi" \
    --cab "$dir/product/product.cab:1000" --stub "$dir/stub-signed.exe" --out "$dir/setup.exe" --quiet \
    "${pack_options[@]}" >/dev/null || fail "msistub-pack build"
}

records() {
  "$PACK" inspect --json "$1" | python3 -c '
import json, sys
TRAILER = 28  # behind the signature: the record type (16 bytes), id, signature size, stored size
for r in json.load(sys.stdin)["sources"][0]["records"]:
    start = r["fileOffset"]
    print(r["type"], r["id"], start, start + r["stored"], start + r["stored"] + r["signature"] + TRAILER)
'
}

record_layout() {
  "$PACK" inspect --json "$1" | python3 -c '
import json, sys
want = int(sys.argv[1])
source = json.load(sys.stdin)["sources"][0]
record = [r for r in source["records"] if r["type"] == "file" and r["id"] == want][-1]
text = [e["text"] for e in source["entries"] if e["id"] == want][0]
lengths = [f for f in text.split("\\") if f.startswith("segments=")][0].split(":")[1].split(",")
assert record["fileOffset"] is not None and record["segments"] == len(lengths), (record, text)
last = record["fileOffset"] + sum(int(n) for n in lengths[:-1])
print(record["fileOffset"], record["stored"], record["segments"], last)
' "$2"
}

flip_byte() {
  python3 - "$1" "$2" <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(int(sys.argv[2])); b = f.read(1); f.seek(int(sys.argv[2])); f.write(bytes([b[0] ^ 0xFF]))
PY
}

STAGING_NAME='^~msistub-[0-9a-fA-F]{16}\.tmp$'
staging_names() { ls -A "$1" 2>/dev/null | grep -E "$STAGING_NAME"; }
other_names() { ls -A "$1" 2>/dev/null | grep -Ev "$STAGING_NAME"; }

kill_when_growing() {
  python3 - "$1" "$2" "$WINEPREFIX" <<'PY'
import os, re, signal, sys, time
folder, image, prefix = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()
staging = re.compile(r"~msistub-[0-9a-fA-F]{16}\.tmp\Z")

def read(pid, what):
    with open("/proc/%s/%s" % (pid, what), "rb") as f:
        return f.read()

def running(pid):
    try:
        return read(pid, "stat").rsplit(b")", 1)[1].split()[0] not in (b"Z", b"X")
    except OSError:
        return False

def find_program():
    # Wine names a program's process after its image (15 characters at most); the prefix in
    # its environment tells it from a program of the same name in another prefix.
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if read(pid, "comm").rstrip(b"\n") != image[:15]:
                continue
            if b"WINEPREFIX=" + prefix in read(pid, "environ").split(b"\0") and running(pid):
                return int(pid)
        except OSError:
            pass
    return None

pid, seen, deadline = None, {}, time.monotonic() + 120
while time.monotonic() < deadline:
    if pid is None:
        pid = find_program()
    elif not running(pid):
        sys.exit("%s ended before a temporary file was seen growing (seen: %s)" % (image.decode(), seen))
    try:
        sizes = [(e.name, e.stat().st_size) for e in os.scandir(folder) if staging.match(e.name)]
    except FileNotFoundError:
        sizes = []
    for name, size in sizes:
        if pid is not None and size > seen.get(name, 0) > 0:
            os.kill(pid, signal.SIGKILL)
            print(name, seen[name], size)
            sys.exit(0)
        seen[name] = size
    time.sleep(0.001)
sys.exit("no temporary file grew in %s within 120 s (process %s, seen: %s)" % (folder, pid, seen))
PY
}

snapshot() {
  find "$WINEPREFIX/drive_c" -path '*/windows/logs' -prune -o -print 2>/dev/null |
    grep -v -e '/users/[^/]*/Temp' -e '/windows/temp' | sort
}

start_stub() {
  local log=$1; shift
  MSISTUB_WINEDEBUG=+msgbox timeout 300 "$MSISTUB_WINE" "$LAUNCH" "$@" >"$log.out" 2>"$log" &
  STUB_PID=$!
}

wait_box() {
  local log=$1 caption=$2 i
  BOX_CAPTION=$caption BOX_WINDOWS=""
  for i in $(seq 600); do
    grep -q 'trace:msgbox:MSGBOX_OnInit' "$log" && break
    kill -0 "$STUB_PID" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q 'trace:msgbox:MSGBOX_OnInit' "$log"; then
    BOX_WINDOWS=$(MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --seconds 10 --count "$caption" 2>/dev/null |
                  tr -d '\r')
  fi
  if [ -z "$BOX_WINDOWS" ]; then
    # Say how the program ended, so a failure here can be told from a stub that succeeded.
    echo "launcher output: $(tr -d '\r' <"$log.out" 2>/dev/null)" >&2
    echo "last trace lines:" >&2; tail -n 5 "$log" >&2
    fail "no box captioned '$caption'"
  fi
  BOX_TEXT=$(sed -n 's/^.*trace:msgbox:MSGBOX_OnInit L"\(.*\)"$/\1/p' "$log" | head -1)
}

answer() {
  MSISTUB_WINEDEBUG=-all "$MSISTUB_WINE" "$ANSWER" --class '#32770' --seconds 10 "$BOX_CAPTION" "$1" \
    >/dev/null || fail "could not answer the box '$BOX_CAPTION' with $1"
}

finish_stub() {
  local log=$1
  wait "$STUB_PID" || fail "the stub did not end by itself"
  EXIT_CODE=$(sed -n 's/^exit=\([0-9]*\).*/\1/p' "$log.out" | tr -d '\r')
  BOXES=$(grep -c 'trace:msgbox:MSGBOX_OnInit' "$log")
}

stop_wine() {
  [ -n "${STUB_PID:-}" ] && kill "$STUB_PID" 2>/dev/null
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
}

FAKE_MSIEXEC=$MSISTUB_BUILD/tests/reliability/fake_msiexec.exe
SYSTEM32=$WINEPREFIX/drive_c/windows/system32
SAVED_MSIEXEC=$MSISTUB_BUILD/tests/reliability/msiexec.exe.saved
save_msiexec() {
  # A saved copy left by an interrupted run is the real one.
  [ -f "$SAVED_MSIEXEC" ] || cp -p "$SYSTEM32/msiexec.exe" "$SAVED_MSIEXEC" || fail "cannot save msiexec.exe"
}
real_msiexec() {
  save_msiexec && cp -p "$SAVED_MSIEXEC" "$SYSTEM32/msiexec.exe" &&
    export WINEDLLOVERRIDES="mscoree,mshtml="
}
fake_msiexec() {
  [ -f "$FAKE_MSIEXEC" ] || fail "no $FAKE_MSIEXEC"
  save_msiexec && cp "$FAKE_MSIEXEC" "$SYSTEM32/msiexec.exe" &&
    export WINEDLLOVERRIDES="mscoree,mshtml=;msiexec.exe=n"
}
# Puts the real msiexec.exe back for good (on exit).
restore_msiexec() {
  [ -f "$SAVED_MSIEXEC" ] || return 0
  cp -p "$SAVED_MSIEXEC" "$SYSTEM32/msiexec.exe" && rm -f "$SAVED_MSIEXEC"
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# The clean-up of a script that installs product CODE with setups made in WORK (on exit):
# Wine stopped, the real msiexec.exe back, the product uninstalled, WORK, its product-code
# folder and the box log removed.
clean_up_product_run() {
  local work=$1 code=$2
  stop_wine
  restore_msiexec
  "$MSISTUB_WINE" msiexec /x "$code" /qn >/dev/null 2>&1
  rm -rf "$work" "${INSTALLER:?}/$code" "$BOX_LOG" "$BOX_LOG.out"
}

# A Linux path as Wine's Z: path.
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

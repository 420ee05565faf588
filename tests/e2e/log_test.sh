#!/usr/bin/env bash
# The run log (MSISTUB_LOG): a German-only setup run by an American user (no package for the
# language: 13) and by a German user (installs: 0) appends one line per step to the file the
# variable names, both runs to the same file; a stub without a payload (1168) logs why; a log path that cannot be opened changes
# nothing; without the variable no file appears.
set -u
. "$(dirname "$0")/lib.sh"
e2e_begin log
DE="{5A7E1C3B-2D4F-4A6B-8C9D-0E1F2A3B4C21}"
forget_product "$DE"
make_product de --name "msistub E2E Log" --code "$DE" --lang 1031 --cab de.cab --size-mb 1 --seed 21
pack log.exe --package "x64:1031:$DE:msistub E2E Log:de/product.msi" --cab de/de.cab:1000
LOG=$E2E_WORK/logs/run.log
mkdir -p logs

# expect_line <what> <extended regex>: a line of the log matches.
expect_line() {
  grep -Eq "$2" "$LOG" || fail "$1: no line matching '$2' in the log:
$(cat "$LOG")"
}

# 1. No package for en_US (1033): 13, and the log says which step failed with which code.
# An argument with a line break stays on its line (control characters as \xNN).
MSISTUB_LOG=$(winpath "$LOG") MSISTUB_LANG=en_US.UTF-8 run_without_box "$E2E_WORK/log.exe" /qn $'NOTE=a\nb'
expect_eq "exit code without a package" "$EXIT_CODE" 13
tr -d '\r' <"$LOG" >failed.txt
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]+ \[[0-9]+\]'
expect_line "start" "$stamp start: msistub [0-9]+\\.[0-9]+\\.[0-9]+, command line: .*log\\.exe.* /qn .*NOTE=a\\\\x0Ab"
grep -Evq "$stamp " failed.txt && fail "a line without the step prefix: $(grep -Ev "$stamp " failed.txt)"
expect_line "sources" "$stamp sources: 1 container\\(s\\) in certificate extensions of|$stamp sources: the whole file .*log\\.exe as one container"
expect_line "no package" "$stamp package: none chosen for user LCID 1033 \\(x64; tried the exact language, the primary language\\) \\(code 13, line [0-9]+\\)"
expect_line "clean-up" "$stamp clean-up: no installer ran; product is not registered: deleting"
expect_line "final code" "$stamp exit: code 13 \\(0x0000000D\\), line [0-9]+"
! grep -q "installer: command line" "$LOG" || fail "an installer command line logged for a run without a package"
lines=$(wc -l <failed.txt)
echo "ok: failing run logged ($lines lines)"

# 1b. A stub without a payload (1168): the log names the step that found none.
cp "$STUB" bare.exe
MSISTUB_LOG=$(winpath "$E2E_WORK/bare.log") run_without_box "$E2E_WORK/bare.exe" /qn
expect_eq "exit code of a bare stub" "$EXIT_CODE" 1168
grep -Eq "$stamp sources: none in .*bare\.exe \(code 1168, line [0-9]+\)" bare.log ||
  fail "no sources line for a bare stub: $(cat bare.log)"
grep -Eq "$stamp exit: code 1168 \(0x00000490\), line [0-9]+" bare.log ||
  fail "no final code for a bare stub: $(cat bare.log)"
echo "ok: a bare stub's run logged"

# 2. de_DE (1031): installs; the same file grows by the successful run's lines.
MSISTUB_LOG=$(winpath "$LOG") MSISTUB_LANG=de_DE.UTF-8 run_without_box "$E2E_WORK/log.exe" /qn
expect_eq "exit code for de_DE" "$EXIT_CODE" 0
is_registered "$DE" || fail "the product is not installed"
head -n "$lines" "$LOG" | tr -d '\r' | cmp -s - failed.txt || fail "the first run's lines changed"
folder="C:\\\\windows\\\\Installer\\\\\\$DE"
expect_line "package" "$stamp package: x64 \\$DE \"msistub E2E Log\" \\(languages 1031\\), source 0 entry 1000, chosen in pass 1 \\(exact language\\) for LCID 1031; user LCID 1031"
expect_line "file set" "$stamp file set: 2 file\\(s\\), [0-9]+ bytes, [0-9]+ with a segment index; planned and checked, verified while written"
expect_line "folder" "$stamp folder: ${folder}"
for f in main.msi de.cab; do
  temp="${folder}\\\\~msistub-[0-9a-f]{16}\\.tmp"
  expect_line "$f staged" "$stamp file: ${folder}\\\\$f: to be written as $temp \\([0-9]+ bytes\\)"
  expect_line "$f held" "$stamp file: ${folder}\\\\$f: written as $temp \\([0-9]+ bytes\\), verified, renamed, held"
done
expect_line "command line" "$stamp installer: command line: .*msiexec\\.exe /i ${folder}\\\\main\\.msi /qn"
expect_line "installer code" "$stamp installer: exit code 0 \\(0x00000000\\)"
expect_line "clean-up" "$stamp clean-up: after the installer step; product is registered: keeping the files this run wrote or verified, keeping the folder"
expect_line "final code" "$stamp exit: code 0 \\(0x00000000\\), line [0-9]+"
[ "$(grep -c ' exit: code ' "$LOG")" = 2 ] || fail "not two runs in the log"
# Steps in the order they ran.
tr -d '\r' <"$LOG" | tail -n +"$((lines + 1))" | sed -E 's/^[^]]*\] ([a-z -]+):.*/\1/' | uniq | tr '\n' ',' >steps.txt
expect_eq "steps of the successful run" "$(cat steps.txt)" "start,sources,package,file set,installer,folder,file,installer,clean-up,exit,"
echo "ok: successful run appended ($(($(wc -l <"$LOG") - lines)) lines)"
forget_product "$DE"

# 3. Log paths that cannot be used: a folder, and the setup itself (which the log must never
# touch: lines behind its last byte would break its payload). The result is the same.
for target in "$E2E_WORK/logs" "$E2E_WORK/log.exe"; do
  cp log.exe log-before.exe
  MSISTUB_LOG=$(winpath "$target") MSISTUB_LANG=en_US.UTF-8 run_without_box "$E2E_WORK/log.exe" /qn
  expect_eq "exit code with the log at $target" "$EXIT_CODE" 13
  cmp -s log.exe log-before.exe || fail "the setup changed with the log at $target"
done
echo "ok: unusable log paths change nothing"

# 4. Without the variable: no file.
cp "$LOG" runs.log; rm -rf logs; mkdir logs
MSISTUB_LANG=en_US.UTF-8 run_without_box "$E2E_WORK/log.exe" /qn
expect_eq "exit code without the variable" "$EXIT_CODE" 13
[ -z "$(ls -A logs)" ] || fail "files appeared without MSISTUB_LOG: $(ls -A logs)"
expect_absent "log without the variable" "$LOG"
echo "ok: no log without MSISTUB_LOG"
[ -n "${KEEP_E2E:-}" ] || e2e_end
echo "log: all cases passed"

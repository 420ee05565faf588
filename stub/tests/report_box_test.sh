#!/usr/bin/env bash
# The final report shown for real: text, caption, the one OK box, exit codes, quiet runs.
set -u
. "$(dirname "$0")/box.sh"
probe=$MSISTUB_BUILD/stub/report_probe.exe

run_with_box report_probe.exe "$probe" 5 42 path /qb -q
expect_eq "text for code 5" "$BOX_TEXT" "Access denied (1, 5, 42)."
expect_eq "exit code" "$EXIT_CODE" 5

# Without an own path the caption is "Loader"; the system's text for 1921 carries the context.
run_with_box Loader "$probe" 1921 60 nopath
case $BOX_TEXT in
  "Error 1921"*) fail "no system text for 1921: $BOX_TEXT" ;;
  *" (1, 1921, 60).") ;;
  *) fail "text for 1921: $BOX_TEXT" ;;
esac
expect_eq "exit code" "$EXIT_CODE" 1921

# A code without system text, beyond 8 bits.
run_with_box report_probe.exe "$probe" 0x20001234 7 path
expect_eq "text without system text" "$BOX_TEXT" "Error 536875572 (1, 536875572, 7)."
expect_eq "exit code" "$EXIT_CODE" 536875572

run_without_box "$probe" 1168 9 path /L*V log.txt /QuIeT
expect_eq "quiet exit code" "$EXIT_CODE" 1168
run_without_box "$probe" 0 99 path
expect_eq "success exit code" "$EXIT_CODE" 0
echo "report box: all cases passed"

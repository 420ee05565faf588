#!/usr/bin/env bash
# cmake/msistub-brand.py on built stubs, without Wine:
#   brand_tool_test.sh <pefile python> <msistub.exe> <msistub_branded.exe> <vendor.ico> <work dir>
# A field not given keeps the stub's value (a vendor stub re-versioned keeps its company and
# icon); bad input (a version of five numbers or above 65535, a file that is no icon, a stub
# with a payload behind it) fails with its reason and writes nothing.
set -u
python=$1 plain=$2 branded=$3 icon=$4 work=$5
src=$(cd "$(dirname "$0")/../.." && pwd)
brand=$src/cmake/msistub-brand.py check=$src/res/tests/check_branding.py
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"; mkdir -p "$work"; cd "$work" || exit 1

python3 "$brand" stub "$branded" reversioned.exe --version 8.1 || fail "re-versioning the vendor stub"
"$python" "$check" reversioned.exe --icon "$icon" --version 8.1.0.0 --company "Vendor Ltd" \
  --product-name "Vendor Product" --description "Vendor Product Setup" \
  --copyright "(c) 2026 Vendor Ltd" --original-filename msistub.exe || fail "fields not given changed"

python3 "$brand" stub "$branded" recompanied.exe --company "Other Ltd" || fail "a new company"
"$python" "$check" recompanied.exe --icon "$icon" --version 7.6.5.4 --company "Other Ltd" \
  --product-name "Vendor Product" --description "Vendor Product Setup" \
  --copyright "(c) 2026 Vendor Ltd" --original-filename msistub.exe || fail "the version changed"

python3 "$brand" stub "$plain" only-icon.exe --icon "$icon" || fail "branding the icon alone"
"$python" "$check" only-icon.exe --icon "$icon" --version 1.0.0.0 --company msistub \
  --product-name msistub --description "msistub setup bootstrapper" \
  --copyright "msistub developers" --original-filename msistub.exe || fail "icon alone"

head -c 4096 /dev/urandom >payload.bin
cat "$plain" payload.bin >with-payload.exe
printf 'not an icon' >bad.ico
# command | reason on stderr
while IFS='|' read -r args reason; do
  # shellcheck disable=SC2086
  if python3 "$brand" stub $args out.exe 2>err.txt; then fail "accepted: $args"; fi
  grep -qF "$reason" err.txt || fail "$args: got '$(cat err.txt)', want '$reason'"
  [ ! -e out.exe ] || fail "$args wrote out.exe"
  ls | grep -q '\.tmp' && fail "$args left a temporary file"
done <<EOF2
$plain --version 1.2.3.4.5|version '1.2.3.4.5': give one to four numbers separated by dots
$plain --version 1.70000|each number must be 65535 or less
$plain --icon bad.ico|bad.ico: not an icon (.ico) file
with-payload.exe --version 1.2|carries data behind its last section (a payload?)
$plain --company $(printf 'a\001b')|control characters are not allowed
EOF2
echo "brand tool: all cases passed"

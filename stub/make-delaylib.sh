#!/usr/bin/env bash
# Makes a delay-import library for a system DLL from its mingw-w64 import library.
#
#   make-delaylib.sh <nm> <dlltool> <import library> <dll name> <output .a>
#
# Every function the import library exports is listed, so calls through the delay library
# resolve the DLL on first use (LoadLibraryA through __delayLoadHelper2) instead of at load.
set -euo pipefail
nm=$1 dlltool=$2 implib=$3 dll=$4 out=$5
def=$out.def
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  "$nm" -g --defined-only "$implib" 2>/dev/null | sed -n 's/^[0-9a-f]* T \([A-Za-z_][A-Za-z0-9_@?]*\)$/\1/p' \
    | grep -v '^__' | sort -u
} > "$def"
"$dlltool" --input-def "$def" --dllname "$dll" --output-delaylib "$out"

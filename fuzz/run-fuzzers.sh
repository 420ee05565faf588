#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while.
#
#   fuzz/run-fuzzers.sh [seconds-per-target] [target...]
#
# The tree is build/fuzz (MSISTUB_FUZZ_BUILD overrides it). Each target fuzzes its working
# corpus build/fuzz/corpus/<target>, seeded from the committed inputs fuzz/corpus/<target> and
# the generated seeds; findings land in build/fuzz/artifacts/<target>/. The table at the end
# gives executions, corpus size and findings per target; the exit code is non-zero when a
# target found anything (crash, leak, timeout or out-of-memory) or could not run.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
tree=${MSISTUB_FUZZ_BUILD:-$src/build/fuzz}
jobs=${JOBS:-2}

cmake -S "$src" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DMSISTUB_FUZZ=ON -DMSISTUB_SANITIZE=ON -DMSISTUB_DEV_KEY_DIR="$src/build/devkey" >/dev/null ||
  exit 1
cmake --build "$tree" --target fuzzers -j "$jobs" >/dev/null || {
  cmake --build "$tree" --target fuzzers -j 1 2>&1 | tail -40
  exit 1
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || read -r -a targets <<<"$(tr ';' ' ' <"$tree/fuzz/targets.txt")"

# Inputs are kept small: every record inflates to at most about a thousand times its stored
# size, so the record, inflation and image targets get the tightest limits (the worst bomb
# stays at a few MiB under the sanitizers). -malloc_limit_mb and -rss_limit_mb turn a runaway
# allocation into a finding instead of taking the machine down.
max_len() {
  case "$1" in
    record | inflate_diff) echo 2048 ;;
    segment_diff) echo 4096 ;;
    sources | pack) echo 3072 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
rows=()
failed=0
for t in "${targets[@]}"; do
  bin="$tree/fuzz/fuzz_$t"
  work="$tree/corpus/$t"
  art="$tree/artifacts/$t"
  log="$tree/logs/$t.log"
  mkdir -p "$work" "$art" "$(dirname "$log")"
  dirs=("$work" "$tree/fuzz/seeds/$t")
  [ -d "$src/fuzz/corpus/$t" ] && dirs+=("$src/fuzz/corpus/$t")
  before=$(find "$art" -type f | wc -l)
  "$bin" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=25 \
    -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$art/" "${dirs[@]}" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  corpus=$(find "$work" -type f | wc -l)
  found=$(( $(find "$art" -type f | wc -l) - before ))
  if [ "$rc" != 0 ] && [ "$found" = 0 ]; then found=1; fi  # died without an artifact
  [ "$found" = 0 ] || { failed=1; echo "fuzz_$t: finding, see $log and $art" >&2; }
  rows+=("$(printf '%-12s %12s %8s %8s' "$t" "${execs:-?}" "$corpus" "$found")")
done

printf '%-12s %12s %8s %8s\n' target executions corpus crashes
printf '%s\n' "${rows[@]}"
exit $failed

#!/usr/bin/env bash
# Builds the `bench` preset and runs the benchmarks with several
# repetitions, then prints the median ns per stereo frame and the ratio to
# the floor kernel for each benchmark.
#
#   scripts/bench.sh [--repetitions N] [--filter REGEX] [--check] [-- extra benchmark flags]
#
# --check exits non-zero when a ratio misses its target: programs with a
# filter at most 1.5x the floor, programs 0, 18 and 19 at most 0.5x, block
# size 32 at most 1.2x block size 4096 per frame, block size 1 under 5x.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
repetitions=5
filter=""
check=0
extra=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --repetitions) repetitions="$2"; shift 2 ;;
    --filter) filter="$2"; shift 2 ;;
    --check) check=1; shift ;;
    --) shift; extra=("$@"); break ;;
    *) echo "bench.sh: unknown option '$1' (see the usage at the top of the script)" >&2; exit 2 ;;
  esac
done

cd "$root"
cmake --preset bench >/dev/null
cmake --build --preset bench -j2 --target flanger_bench >/dev/null

csv="$(mktemp)"
context="$(mktemp)"
trap 'rm -f "$csv" "$context"' EXIT
args=(--benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true
      --benchmark_format=csv)
[[ -n "$filter" ]] && args+=(--benchmark_filter="$filter")
./build/bench/bench/flanger_bench "${args[@]}" "${extra[@]}" >"$csv" 2>"$context"
cat "$context"

# Columns: name, ..., label (8), ..., floor_ratio (11), ns_per_frame (12).
awk -F, -v check="$check" '
  NR == 1 { next }
  {
    name = $1; gsub(/"/, "", name)
    if (name !~ /_median$/) next
    sub(/_median$/, "", name)
    ratio = $11 + 0; ns = $12 + 0
    label = $8; gsub(/"/, "", label)
    printf "%-40s %10.2f %8.3f  %s\n", name, ns, ratio, label
    rows[name] = ratio; perframe[name] = ns
  }
  BEGIN { printf "%-40s %10s %8s\n", "benchmark (median)", "ns/frame", "x floor" }
  END {
    if (!check) exit 0
    bad = 0
    for (n in rows) {
      if (n ~ /^BM_Program\//) {
        p = substr(n, 12) + 0
        limit = (p == 0 || p == 18 || p == 19) ? 0.5 : 1.5
        if (rows[n] > limit) { printf "MISS %s: %.3f x floor, target %.2f\n", n, rows[n], limit; bad = 1 }
      }
      if (n ~ /block:32$/) {
        big = n; sub(/block:32$/, "block:4096", big)
        if (big in perframe && perframe[n] > 1.2 * perframe[big]) {
          printf "MISS %s: %.2f x block 4096, target 1.2\n", n, perframe[n] / perframe[big]; bad = 1 }
      }
      if (n ~ /block:1$/) {
        big = n; sub(/block:1$/, "block:4096", big)
        if (big in perframe && perframe[n] >= 5 * perframe[big]) {
          printf "MISS %s: %.2f x block 4096, target under 5\n", n, perframe[n] / perframe[big]; bad = 1 }
      }
    }
    if (bad) { print "bench: some targets missed"; exit 1 }
    print "bench: all targets met"
  }' "$csv"

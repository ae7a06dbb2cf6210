#!/usr/bin/env bash
# Builds the `bench` preset and runs the benchmarks with several
# repetitions, then prints for each benchmark the median ns per stereo frame
# and the median ratios to the two floors (the filter floor and the
# line-only floor, each the fastest of its exact forms this machine runs,
# AVX ones included where the CPU has AVX; all timed in the same rounds),
# and the targets.
#
#   scripts/bench.sh [--repetitions N] [--filter REGEX] [--check] [-- extra benchmark flags]
#
# Targets (ratios only; times on shared machines mean nothing alone):
#   programs with a filter (1 to 17)   at most 1.25 x the filter floor
#   programs 0, 18, 19 (no filter)     at most 1.6 x the line-only floor
#   block 32 / block 4096 per frame    at most 1.15
#   block 1 / block 4096 per frame     at most 4
#   process (adding) / processReplacing at most 1.05
#   companion sweeping / same program      at most 1.2 (both timed in each round)
# Block and entry comparisons divide the benchmarks' floor ratios, so load
# that differs between the two runs cancels. --check exits non-zero when a
# target is missed.
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

awk -F, -v check="$check" '
  NR == 1 {
    for (i = 1; i <= NF; ++i) { h = $i; gsub(/"/, "", h); col[h] = i }
    if (!("ns_per_frame" in col) ||
        !(("floor_ratio" in col) && ("line_ratio" in col) || ("flanger_ratio" in col))) {
      print "bench.sh: the benchmark output lacks its counters" > "/dev/stderr"; exit 2 }
    printf "%-44s %9s %8s %8s\n", "benchmark (median)", "ns/frame", "x floor", "x line"
    next
  }
  {
    name = $1; gsub(/"/, "", name)
    # Medians; a single repetition reports only the run itself.
    if (name ~ /_(mean|stddev|cv)$/) next
    sub(/_median$/, "", name)
    f = $col["floor_ratio"] + 0; l = $col["line_ratio"] + 0; ns = $col["ns_per_frame"] + 0
    label = $col["label"]; gsub(/"/, "", label)
    if (("flanger_ratio" in col) && $col["flanger_ratio"] != "") {
      fr[name] = $col["flanger_ratio"] + 0
      label = sprintf("%.3f x the flanger in the same rounds", fr[name])
    }
    printf "%-44s %9.2f %8.3f %8.3f  %s\n", name, ns, f, l, label
    fl[name] = f; ln[name] = l; order[++count] = name
  }
  function verdict(what, value, limit) {
    ok = value <= limit
    printf "%-4s %-48s %6.3f  target at most %.2f\n", ok ? "ok" : "MISS", what, value, limit
    if (!ok) bad = 1
  }
  END {
    if (count == 0) exit 0
    print ""
    bad = 0
    for (k = 1; k <= count; ++k) {
      n = order[k]
      if (n ~ /^BM_Program\//) {
        p = substr(n, 12) + 0
        if (p == 0 || p == 18 || p == 19) verdict(n " x line floor", ln[n], 1.6)
        else verdict(n " x floor", fl[n], 1.25)
      }
      if (n ~ /^BM_BlockSize\/.*block:(1|32)$/) {
        big = n; sub(/block:[0-9]+$/, "block:4096", big)
        if (big in fl) verdict(n " / block 4096", fl[n] / fl[big], n ~ /block:1$/ ? 4 : 1.15)
      }
      if (n ~ /^BM_Sweep\/program:/ && (n in fr)) verdict(n " / the flanger", fr[n], 1.2)
      if (n ~ /^BM_Process\/program:/) {
        rep = "BM_Program/" substr(n, 20)
        if (rep in fl) verdict(n " / processReplacing", fl[n] / fl[rep], 1.05)
      }
    }
    # What stands in the way of the program targets: how much of the
    # floor is latency that other work could hide under, and what the
    # chain costs without the filter.
    if ("BM_Floor/form:5" in fl)
      printf "info the floor'"'"'s work twice over: %.2f x floor (1 = all latency, 2 = no slack)\n", fl["BM_Floor/form:5"]
    if ("BM_Program/0" in fl)
      printf "info the chain without the filter (program 0): %.2f x floor\n", fl["BM_Program/0"]
    big = "BM_BlockSize/program:1/block:1"; host = "BM_FlushingHost/program:1/block:1"
    if (big in fl && host in fl)
      printf "info block 1 from a host that already flushes (no mode switch): %.2f x block 1\n", fl[host] / fl[big]
    long = "BM_BlockSize/program:1/block:4096"
    if ("BM_ModeSwitch" in fl && long in fl)
      printf "info the entry'"'"'s mode switch alone, no frame: %.2f x a frame of block 4096\n", fl["BM_ModeSwitch"] / fl[long]
    if (!check) exit 0
    if (bad) { print "bench: some targets missed"; exit 1 }
    print "bench: all targets met"
  }' "$csv"

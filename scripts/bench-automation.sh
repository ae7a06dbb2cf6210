#!/usr/bin/env bash
# Measures what automation costs flanger-render: a 10-minute stereo noise
# file rendered through "Metal Flange 2" as it stands and with Flanger
# Depth swept at the default control interval (32 frames), the two renders
# alternating, and prints the median wall time of each and their ratio.
# Usage: scripts/bench-automation.sh [--check] [RUNS]   (default 5 runs each)
#   --check  fails when the swept render takes more than 1.3 times as long.
# BENCH_SECONDS changes the file's length (default 600).
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
runs=${1:-5}
seconds=${BENCH_SECONDS:-600}

./scripts/deps.sh sox
tool=build/default/host/flanger-render
if [ ! -x "$tool" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target flanger-render
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth "$seconds" pinknoise vol 0.3

# Wall time of one render in milliseconds.
render() {
  local start end
  start=$(date +%s%N)
  "$tool" --quiet --force --program "Metal Flange 2" "$@" "$work/in.wav" "$work/out.wav"
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

plain=()
swept=()
for ((i = 0; i < runs; ++i)); do
  plain+=("$(render)")
  swept+=("$(render --sweep "Flanger Depth=sine:4:0.01:0.3")")
done
p=$(median "${plain[@]}")
s=$(median "${swept[@]}")
ratio=$(awk -v s="$s" -v p="$p" 'BEGIN { printf "%.3f", s / p }')
echo "${seconds} s stereo, ${runs} runs each (ms): without automation ${plain[*]}; swept ${swept[*]}"
echo "median without automation ${p} ms, with a depth sweep ${s} ms: ratio ${ratio} (target at most 1.3)"
if [ "$check" -eq 1 ] && awk -v r="$ratio" 'BEGIN { exit !(r > 1.3) }'; then
  echo "bench-automation: the swept render is more than 1.3 times slower" >&2
  exit 1
fi

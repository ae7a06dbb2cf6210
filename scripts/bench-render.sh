#!/usr/bin/env bash
# Measures flanger-render against sox on the same file: 60 s of stereo
# 32-bit float pink noise at 48 kHz rendered by
#   flanger-render --quiet --float --program 5 in.wav out.wav
#   sox in.wav out.wav flanger
#   sox in.wav out.wav                    (a plain copy: the file I/O floor)
# each timed as a whole process, the three taking turns, and prints the best
# wall time of each and the ratio of flanger-render to sox's flanger.
# Usage: scripts/bench-render.sh [--check] [RUNS]   (default 7 runs each)
#   --check  fails when flanger-render takes more than 0.6 times as long as
#            sox's flanger.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
runs=${1:-7}
limit=0.6

./scripts/deps.sh sox
tool=build/default/host/flanger-render
if [ ! -x "$tool" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target flanger-render
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 48000 -c 2 -b 32 -e floating-point "$work/in.wav" synth 60 pinknoise vol 0.3

# Wall time of one command in microseconds, appended to the array named
# first; the output file from the run before is removed outside the timing.
timed() {
  local -n times=$1
  shift
  local start end
  rm -f "$work/out.wav"
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  times+=($(((end - start) / 1000)))
}
best() { printf '%s\n' "$@" | sort -n | head -n 1; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }

render=()
flanger=()
copy=()
for ((i = 0; i < runs; ++i)); do
  timed render "$tool" --quiet --float --program 5 "$work/in.wav" "$work/out.wav"
  timed flanger sox "$work/in.wav" "$work/out.wav" flanger
  timed copy sox "$work/in.wav" "$work/out.wav"
done
r=$(best "${render[@]}")
f=$(best "${flanger[@]}")
c=$(best "${copy[@]}")
ratio=$(awk -v r="$r" -v f="$f" 'BEGIN { printf "%.3f", r / f }')
floor=$(awk -v r="$r" -v c="$c" 'BEGIN { printf "%.2f", r / c }')
echo "60 s stereo float at 48 kHz, best of ${runs} (ms): flanger-render $(ms "$r"), sox flanger $(ms "$f"), sox copy $(ms "$c")"
echo "flanger-render / sox flanger: ratio ${ratio} (target at most ${limit}); flanger-render / sox copy: ${floor}"
if [ "$check" -eq 1 ] && awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r > l) }'; then
  echo "bench-render: flanger-render takes more than ${limit} times as long as sox's flanger" >&2
  exit 1
fi

#!/usr/bin/env bash
# Measures the magnitude response of a few factory programs with
# flanger-render --response and plots them into docs/response.png.
# Usage: scripts/plot-response.sh [OUTPUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
output=${1:-docs/response.png}

./scripts/deps.sh gnuplot-nox
tool=build/default/host/flanger-render
if [ ! -x "$tool" ]; then
  cmake --preset default
  cmake --build --preset default --target flanger-render
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
programs=("--- Default ---" "Hi Flange 1" "Metal Flange 2" "Eggs LP")
panels=""
for i in "${!programs[@]}"; do
  "$tool" --quiet --program "${programs[$i]}" --response "$work/$i.csv"
  panels+="set title \"${programs[$i]}\"
plot '$work/$i.csv' every ::2 using 1:2 with lines lw 1.2 lc rgb '#1f5fa8' notitle
"
done

gnuplot <<GNUPLOT
set terminal pngcairo size 1100,700 font ",10"
set output "$output"
set datafile separator ","
set logscale x
set xrange [20:20000]
set yrange [-40:20]
set grid xtics ytics mxtics
set xlabel "Frequency (Hz)"
set ylabel "Gain (dB)"
set multiplot layout 2,2 title "Magnitude response of factory programs, left channel, 44100 Hz (impulse through flanger-render)"
$panels
unset multiplot
GNUPLOT
echo "Wrote $output"

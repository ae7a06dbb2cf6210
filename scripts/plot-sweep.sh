#!/usr/bin/env bash
# Renders white noise through a slow sweep of Flanger Depth with
# flanger-render and draws the left channel's spectrogram with sox into
# docs/sweep.png: the comb's notches fan out as the delay
# shortens and close up as it grows.
# Usage: scripts/plot-sweep.sh [OUTPUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
output=${1:-docs/sweep.png}

./scripts/deps.sh sox
tool=build/default/host/flanger-render
if [ ! -x "$tool" ]; then
  cmake --preset default
  cmake --build --preset default --target flanger-render
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -R -n -r 44100 -c 1 -b 16 "$work/noise.wav" synth 12 whitenoise vol 0.25
sweep="Flanger Depth=sine:12:0.005:0.12"
"$tool" --quiet --program 0 --set FeedBack=0.6 --sweep "$sweep" "$work/noise.wav" "$work/swept.wav"
sox "$work/swept.wav" -n remix 1 spectrogram -x 900 -y 361 -z 80 \
  -t "White noise through program 0, FeedBack 0.6, --sweep '$sweep'" \
  -c "flanger-render, left channel, 44100 Hz" -o "$output"
echo "Wrote $output"

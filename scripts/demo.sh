#!/usr/bin/env bash
# Builds the plug-in and its render tool, then renders the tool's built-in
# demonstration signal through a few factory programs, and through two of
# them with Flanger Depth swept, and through the companion with its sweep
# synced to the tool's timeline, into out/demo/.
# Installs the Debian packages the build needs when they are missing
# (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

tool=build/default/host/flanger-render
mkdir -p out/demo
programs=("--- Default ---" "Hi Flange 1" "Metal Flange 2" "Eggs BP" "Cool Flight")
for i in "${!programs[@]}"; do
  name=${programs[$i]}
  file=$(printf '%d-%s.wav' "$i" "$(echo "$name" | tr -cs 'A-Za-z0-9' '-' | sed 's/^-//; s/-$//')")
  "$tool" --force --tail 1 --program "$name" "out/demo/$file"
done
# The effect moves only when its depth is automated: two sweeps.
"$tool" --force --tail 1 --program "Metal Flange 2" \
  --sweep "Flanger Depth=sine:3:0.01:0.3" out/demo/5-Metal-Flange-2-depth-sweep.wav
"$tool" --force --tail 1 --program "Hi Flange 1" \
  --sweep "Flanger Depth=triangle:2:0.02:0.15" out/demo/6-Hi-Flange-1-depth-sweep.wav
# The companion sweeps by itself, locked to the timeline: Metal Flange 2's
# sine over one bar at 96 bpm.
"$tool" --force --tail 1 --plugin build/default/flanger-sweep.so --program "Metal Flange 2" \
  --tempo 96 out/demo/7-Metal-Flange-2-synced-sweep.wav
echo "Demo rendered: $(ls out/demo/*.wav | wc -l) files in out/demo/"

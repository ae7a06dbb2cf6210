#!/usr/bin/env bash
# Builds the plug-in and its render tool, then renders the tool's built-in
# demonstration signal through a few factory programs into out/demo/.
# Installs the Debian packages the build needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libsndfile1-dev libgtest-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing ${missing[*]}"
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

cmake --preset default
cmake --build --preset default

tool=build/default/host/flanger-render
mkdir -p out/demo
programs=("--- Default ---" "Hi Flange 1" "Metal Flange 2" "Eggs BP" "Cool Flight")
for i in "${!programs[@]}"; do
  name=${programs[$i]}
  file=$(printf '%d-%s.wav' "$i" "$(echo "$name" | tr -cs 'A-Za-z0-9' '-' | sed 's/^-//; s/-$//')")
  "$tool" --force --tail 1 --program "$name" "out/demo/$file"
done
echo "Demo rendered: $(ls out/demo/*.wav | wc -l) files in out/demo/"

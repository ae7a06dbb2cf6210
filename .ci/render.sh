#!/usr/bin/env bash
# Render tool: build, run its end-to-end tests and render the demo.
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
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

cmake --preset default
cmake --build --preset default -j2
ctest --preset default -R '^render\.' --timeout 60
./scripts/demo.sh >/dev/null
test "$(ls out/demo/*.wav | wc -l)" -ge 4
echo "render: OK (tool built, end-to-end tests passed, demo rendered)"

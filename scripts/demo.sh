#!/usr/bin/env bash
# Builds the plug-in and loads it the way a host does.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
build/default/host/vst-probe build/default/flanger.so

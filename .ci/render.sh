#!/usr/bin/env bash
# Render tool: build, run its end-to-end tests, render the demo (depth
# sweeps included) and check automation costs little and the tool takes
# well under sox's flanger on the same file.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2
ctest --preset default -R '^render\.' --timeout 60
rm -rf out/demo
./scripts/demo.sh >/dev/null
test "$(ls out/demo/*.wav | wc -l)" -eq 8
# Wall times on a shared machine: one more, longer measurement before a
# ratio above the limit counts as a failure.
./scripts/bench-automation.sh --check 5 || ./scripts/bench-automation.sh --check 9
./scripts/bench-render.sh --check 7 || ./scripts/bench-render.sh --check 15
echo "render: OK (tool built, end-to-end tests passed, demo rendered, automation cheap, file I/O fast)"

#!/usr/bin/env bash
# Golden renders, the allocation test and a short benchmark smoke run, on a
# fresh machine: installs what it needs, builds the `bench` preset (which
# includes the tests) and exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo_cmd=""; [[ $(id -u) -ne 0 ]] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  $sudo_cmd apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

cmake --preset bench
cmake --build --preset bench -j2
./build/bench/tests/golden/golden_tests
./build/bench/tests/alloc/alloc_tests
# Timings on shared CI machines are not checked, only that the suite runs.
./scripts/bench.sh --repetitions 1 -- --benchmark_min_time=0.01 >/dev/null
echo "perf: golden renders, allocation test and benchmark smoke run passed"

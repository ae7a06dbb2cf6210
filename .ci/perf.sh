#!/usr/bin/env bash
# Golden renders, the allocation test and a short benchmark smoke run, on a
# fresh machine: installs what it needs, builds the `bench` preset (which
# includes the tests) and exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/deps.sh

cmake --preset bench
cmake --build --preset bench -j2
./build/bench/tests/golden/golden_tests
./build/bench/tests/alloc/alloc_tests
# Timings on shared CI machines are not checked (bench.sh --check is for a
# quiet machine), only that the suite runs and that every form of the floor
# kernels computes the same samples, which the benchmark checks first.
./scripts/bench.sh --repetitions 1 -- --benchmark_min_time=0.01 >/dev/null
echo "perf: golden renders, allocation test and benchmark smoke run passed"

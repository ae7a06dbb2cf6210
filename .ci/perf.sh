#!/usr/bin/env bash
# A short benchmark smoke run on a fresh machine: installs what it needs,
# builds the benchmark of the `bench` preset and exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/deps.sh

# The golden renders and the allocation test ran in the test step, built
# with the same options; only the benchmark is built here.
# Timings on shared CI machines are not checked (bench.sh --check is for a
# quiet machine), only that the suite runs and that every form of the floor
# kernels computes the same samples, which the benchmark checks first.
./scripts/bench.sh --repetitions 1 -- --benchmark_min_time=0.01 >/dev/null
echo "perf: benchmark smoke run passed (every floor form checked against the scalar one)"

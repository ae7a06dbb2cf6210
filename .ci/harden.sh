#!/usr/bin/env bash
# Builds the libFuzzer target with the address and undefined-behaviour
# sanitizers and fuzzes the effect record for a fixed budget, starting from
# the committed seed corpus. Any finding (sanitizer report, broken text
# bound, crash, hang, leak) fails the run and leaves the input that caused it
# in build/fuzz-findings/.
#
# FUZZ_SECONDS overrides the budget (default 120). The VST 3 module's state
# streams are fuzzed afterwards by a second target, for FUZZ_VST3_SECONDS
# (default 60), from fuzz/corpus-vst3.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-120}"
vst3_seconds="${FUZZ_VST3_SECONDS:-60}"

./scripts/deps.sh clang libclang-rt-14-dev cmake ninja-build

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

fuzzer=build/fuzz/fuzz/flanger_fuzz
work=$(mktemp -d)
findings=build/fuzz-findings
mkdir -p "$findings"
log="$findings/fuzz.log"
trap 'rm -rf "$work"' EXIT

# New inputs go to the scratch folder (the first one named); the committed
# corpus is only read.
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$fuzzer" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work" fuzz/corpus >"$log" 2>&1 || status=$?

tail -n 25 "$log"
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
figures=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
if ((status != 0)); then
    echo "harden: fuzzing FAILED (exit $status) after ${runs:-?} runs; the input is in $findings/" \
         "(replay: $fuzzer <file>), the log in $log"
    exit 1
fi
echo "harden: fuzzing passed: ${runs:-?} runs in ${seconds} s, ${figures:-no coverage figures}, no finding"

state_fuzzer=build/fuzz/fuzz/flanger_vst3_state_fuzz
state_work=$(mktemp -d)
trap 'rm -rf "$work" "$state_work"' EXIT
state_log="$findings/vst3-state-fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$state_fuzzer" -max_total_time="$vst3_seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$findings/vst3-state-" "$state_work" fuzz/corpus-vst3 >"$state_log" 2>&1 ||
    status=$?
tail -n 10 "$state_log"
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$state_log" | tail -n 1)
if ((status != 0)); then
    echo "harden: VST 3 state fuzzing FAILED (exit $status) after ${runs:-?} runs; the input is in" \
         "$findings/ (replay: $state_fuzzer <file>), the log in $state_log"
    exit 1
fi
echo "harden: VST 3 state fuzzing passed: ${runs:-?} runs in ${vst3_seconds} s, no finding"

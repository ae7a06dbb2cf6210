#!/usr/bin/env bash
# Source and binary checks that need no tests: every C++ file formatted by
# the committed .clang-format, and the x86-64 plug-in binaries (built by the
# test step) free of fused multiply-add instructions, which round once where
# the chain rounds twice, with the AVX copy of the chain's loops present.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
die() {
    echo "lint: FAILED: $*" >&2
    exit 1
}

./scripts/deps.sh clang-format binutils

unformatted=$(git ls-files '*.cpp' '*.h' '*.inl' | xargs clang-format --dry-run 2>&1 |
    sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning: .*/\1/p' | sort -u)
[[ -z $unformatted ]] || die "not formatted with .clang-format (run clang-format -i on them):
$unformatted"
echo "lint: every C++ file is formatted"

[[ -f build/default/flanger.so ]] || cmake --preset default >/dev/null
cmake --build --preset default --target flanger flanger_sweep flanger_lv2 flanger_vst3 >/dev/null
for plugin in build/default/flanger.so build/default/flanger-sweep.so build/default/flanger.lv2/flanger.so \
    build/default/flanger.vst3/Contents/x86_64-linux/flanger.so; do
    listing=$(objdump -d --no-show-raw-insn "$plugin")
    fused=$(grep -cE $'\tvf(n)?m(add|sub|addsub|subadd)[0-9]{3}' <<<"$listing" || true)
    [[ $fused -eq 0 ]] || die "$plugin has $fused fused multiply-add instructions"
    wide=$(grep -cE $'\tvcvtps2pd +%xmm[0-9]+,%ymm' <<<"$listing" || true)
    [[ $wide -gt 0 ]] || die "$plugin has no 256-bit conversions: the AVX loops are missing"
    echo "lint: $plugin: no fused multiply-add, AVX loops present ($wide 256-bit widenings)"
done

#!/usr/bin/env bash
# 32-bit x86 without a 32-bit kernel or i386 packages: cross-builds the
# plug-in, its golden-render and instruction-set tests and the checker for
# 32-bit Linux with the options the 32-bit Windows DLL is compiled with, and
# runs them under qemu-i386 user emulation:
#   - the golden renders against the hashes x86-64 passes;
#   - the chain's loops of every instruction set against the plain ones;
#   - vst-check, whose every program renders the same again with each entry
#     called on a stack 4 bytes off the 16-byte alignment the compiler
#     assumes (qemu faults on a misaligned SSE access, as the processor
#     does), and whose texts and renders equal the x86-64 build's;
#   - the effect compiled with the same code-generation options as the DLL.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n=== i686: %s\n' "$*"; }
die() {
    echo "i686: FAILED: $*" >&2
    exit 1
}
start=$(date +%s)

./scripts/deps.sh cmake ninja-build g++ libgtest-dev g++-i686-linux-gnu qemu-user \
    g++-mingw-w64-i686-posix

step "cross-building (linux-x86 preset)"
cmake --preset linux-x86 >/dev/null
cmake --build --preset linux-x86
build=build/linux-x86
header=$(readelf -h "$build/flanger.so")
[[ $header == *"Class:"*"ELF32"* && $header == *"Machine:"*"80386"* ]] ||
    die "$build/flanger.so is not a 32-bit x86 binary"

step "golden renders and instruction sets under qemu-i386"
ctest --preset linux-x86 -j2

step "checker under qemu-i386, misaligned stack included, against x86-64"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/i686" "$work/x86_64"
emulator=(qemu-i386 -L /usr/i686-linux-gnu)
"${emulator[@]}" "$build/host/vst-check" "$build/flanger.so" "$work/i686" ||
    die "vst-check failed on the 32-bit build"
[[ -x build/default/host/vst-check ]] ||
    { cmake --preset default >/dev/null && cmake --build --preset default --target vst-check flanger vst-compare; }
build/default/host/vst-check build/default/flanger.so "$work/x86_64" >/dev/null ||
    die "vst-check failed on the x86-64 build"
build/default/host/vst-compare "$work/x86_64" "$work/i686" 0 ||
    die "the 32-bit build differs from the x86-64 build"

step "the 32-bit DLL and this build compile the effect alike"
[[ -f build/windows-x86/build.ninja ]] || cmake --preset windows-x86 >/dev/null
# The options that decide the generated code (-m, -O and -f, less those
# that only place or export code: position independence, visibility, the
# DLL's inline exports, file names) of
# every source of the effect, its lines and filters and the frame.
codegen() {  # build folder, source -> its options, one a line, sorted
    awk -v src="/$2" '
        $1 == "build" && index($2, src ".o") && $2 ~ /:$/ { found = 1; next }
        found && $1 == "FLAGS" { for (i = 3; i <= NF; ++i) print $i; exit }
        found && $1 == "build" { exit }' "$1/build.ninja" |
        grep -E '^-(m|O|f)' | grep -vE '^-f(PIC|pic|PIE|pie|visibility|file-prefix-map|diagnostics|no-keep-inline-dllexport)' |
        sort -u
}
sources=$(git ls-files 'effect/*.cpp' 'dsp/*.cpp' 'frame/*.cpp')
for source in $sources; do
    linux=$(codegen "$build" "$source")
    windows=$(codegen build/windows-x86 "$source")
    [[ -n $linux && -n $windows ]] || die "no compile options found for $source"
    [[ $linux == "$windows" ]] || die "$source is compiled differently:
  i686 Linux:    $(tr '\n' ' ' <<<"$linux")
  32-bit Windows: $(tr '\n' ' ' <<<"$windows")"
    for want in -msse2 -mfpmath=sse -mstackrealign -ffp-contract=off; do
        grep -qx -- "$want" <<<"$linux" || die "$source is not compiled with $want"
    done
done
echo "i686: $(wc -w <<<"$sources") sources compiled with: $(tr '\n' ' ' <<<"$linux")"

echo "i686: OK: golden renders and instruction sets pass under qemu-i386, misaligned stack" \
     "included, same renders as x86-64, same options as the 32-bit DLL" \
     "($(( $(date +%s) - start )) s)"

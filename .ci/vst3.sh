#!/usr/bin/env bash
# VST 3 modules for Windows: cross-builds both widths and the check tool with
# mingw-w64, checks each module's exports and imports, runs the 64-bit check
# tool on the 64-bit module under Wine (and the 32-bit one where this kernel
# runs 32-bit programs) and compares what it prints for both classes, the
# flanger and the companion (parameters, texts read both ways, programs,
# render and state hashes) with the Linux module's.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n=== vst3: %s\n' "$*"; }
die() {
    echo "vst3: FAILED: $*" >&2
    exit 1
}

packages=(cmake ninja-build g++ binutils g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine wine64)
if ! dpkg -s "${packages[@]}" >/dev/null 2>&1; then
    step "installing packages"
    ./scripts/deps.sh "${packages[@]}"
fi

step "cross-building the modules and the check tool"
for preset in windows-x86 windows-x64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target flanger_vst3 vst3-check >/dev/null ||
        die "building $preset failed (run: cmake --build --preset $preset)"
done
step "the Linux module and check tool (build/default)"
[[ -f build/default/build.ninja ]] || cmake --preset default >/dev/null
cmake --build build/default -j2 --target flanger_vst3 vst3-check >/dev/null

mod32=build/windows-x86/flanger.vst3/Contents/x86-win/flanger.vst3
mod64=build/windows-x64/flanger.vst3/Contents/x86_64-win/flanger.vst3
step "exports and imports (objdump -p)"
check_module() {  # file, objdump format
    local dump exports imports
    [[ -f $1 ]] || die "$1 was not built"
    dump=$(objdump -p "$1") || die "objdump cannot read $1"
    [[ $dump == *"file format $2"* ]] || die "$1 is not $2"
    exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
        sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort -u | tr '\n' ' ')
    imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u | tr '\n' ' ')
    [[ $exports == "ExitDll GetPluginFactory InitDll " ]] ||
        die "$1 exports '$exports', expected 'ExitDll GetPluginFactory InitDll' (plain names)"
    [[ $imports == "KERNEL32.dll msvcrt.dll " ]] ||
        die "$1 imports '$imports'; only KERNEL32.dll and msvcrt.dll are allowed (link statically)"
    echo "$1: $2, exports $exports, imports $imports"
}
check_module "$mod32" pei-i386
check_module "$mod64" pei-x86-64

. ./scripts/wine-prefix.sh

# 32-bit Wine needs a kernel that runs 32-bit programs and the i386
# package wine32, which the windows step installs where it can: without
# either, the prefix is 64-bit only and the 32-bit module is checked by its
# headers, and the step says so.
if ./scripts/runs-32bit.sh && [[ -x /usr/lib/wine/wine ]]; then
    runs32=1
    wine=(wine)
else
    runs32=0
    export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    wine=(/usr/lib/wine/wine64)
    echo "vst3: left out: the 32-bit module under Wine: no 32-bit Wine here (a kernel without" \
         "32-bit support, or wine32:i386 not installable); its headers and exports are checked"
fi
step "creating the Wine prefix"
timeout 300 "${wine[@]}" wineboot --init >/dev/null 2>&1 || die "wineboot could not create a Wine prefix"

build/default/tests/vst3/vst3-check build/default/flanger.vst3/Contents/x86_64-linux/flanger.so \
    >"$work/linux.txt" || die "vst3-check failed on the Linux module"
compare_run() {  # check tool, module, label
    local path
    path=$(timeout 60 "${wine[@]}" winepath -w "$2" 2>/dev/null)
    timeout 300 "${wine[@]}" "$1" "$path" | tr -d '\r' >"$work/$3.txt" ||
        die "$1 failed under Wine on $2"
    diff "$work/linux.txt" "$work/$3.txt" >&2 || die "the $3 module differs from the Linux one (above)"
    echo "$2 under Wine: $(grep -c '^class' "$work/$3.txt") classes," \
         "$(grep -c '^render' "$work/$3.txt") renders, texts, programs and state as on Linux"
}
step "64-bit module under Wine"
compare_run build/windows-x64/tests/vst3/vst3-check.exe "$mod64" win64
if ((runs32)); then
    step "32-bit module under Wine"
    compare_run build/windows-x86/tests/vst3/vst3-check.exe "$mod32" win32
    echo "vst3: OK: both modules export and import as expected and match the Linux module under Wine"
else
    echo "vst3: OK: both modules export and import as expected; the 64-bit module matches the Linux" \
         "module under Wine (the 32-bit one was not run: no 32-bit Wine or kernel support here)"
fi

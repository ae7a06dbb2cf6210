#!/usr/bin/env bash
# Windows builds: cross-builds both DLLs and the checker with mingw-w64,
# checks their exports and imports, runs the checker on each DLL under Wine
# and compares texts and renders with the Linux build's.
# Environment: WINDOWS_AUDIO_TOLERANCE (largest accepted absolute sample
# difference against Linux, default 0: the renders are bit-identical).
set -euo pipefail
cd "$(dirname "$0")/.."

tolerance=${WINDOWS_AUDIO_TOLERANCE:-0}
step() { printf '\n=== windows: %s\n' "$*"; }
die() {
    echo "windows: FAILED: $*" >&2
    exit 1
}

# --- packages --------------------------------------------------------------
# 32-bit Wine (wine32, an i386 package) is installed only where the kernel
# runs 32-bit programs, and only if the mirror's i386 index lets it install;
# without it the prefix is 64-bit only, and the step says what it left out.
./scripts/deps.sh cmake ninja-build g++ binutils g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
    wine wine64
runs32=0
if ! ./scripts/runs-32bit.sh; then
    skipped32="this kernel cannot run 32-bit programs (no IA32 emulation)"
elif ! ./scripts/deps.sh wine32:i386; then
    skipped32="32-bit Wine (wine32:i386) could not be installed (deps.sh said why above)"
else
    runs32=1
fi

# --- builds ----------------------------------------------------------------
step "cross-building the DLLs and Windows host tools"
./scripts/build-windows.sh

step "the Linux plug-ins and checker (the default build)"
native=build/default
[[ -f $native/build.ninja ]] || cmake --preset default >/dev/null
cmake --build --preset default --target flanger flanger_sweep vst-check vst-compare

if grep -q -- '-mfpmath=sse -mstackrealign' build/windows-x64/build.ninja; then
    die "the 64-bit build got the 32-bit floating-point options"
fi
grep -q -- '-msse2 -mfpmath=sse -mstackrealign' build/windows-x86/build.ninja ||
    die "the 32-bit build is not compiled with -msse2 -mfpmath=sse -mstackrealign"

# --- exports and imports ---------------------------------------------------
step "exports and imports (objdump -p)"
# Every objdump output is read whole: grep -q on a pipe would stop objdump
# early and, with pipefail, turn a match into a failure.
exports_of() {  # objdump -p text -> names in the export name table, one a line
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$1" |
        sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort -u
}
imports_of() {
    sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$1" | sort -u
}
check_binary() {  # file, expected format, expected exports (space separated; - for none)
    local file=$1 format=$2 want=$3 dump got
    [[ -f $file ]] || die "$file was not built"
    dump=$(objdump -p "$file") || die "objdump cannot read $file"
    [[ $dump == *"file format $format"* ]] || die "$file is not $format"
    got=$(imports_of "$dump" | tr '\n' ' ')
    echo "$file: imports: $got"
    [[ $got == "KERNEL32.dll msvcrt.dll " ]] ||
        die "$file imports '$got'; only KERNEL32.dll and msvcrt.dll are allowed (link statically)"
    if [[ $want != - ]]; then
        got=$(exports_of "$dump" | tr '\n' ' ')
        echo "$file: exports: $got"
        [[ $got == "$want " ]] || die "$file exports '$got', expected '$want'"
    fi
}
check_binary build/windows-x86/flanger.dll pei-i386 "main"
check_binary build/windows-x64/flanger.dll pei-x86-64 "VSTPluginMain main"
check_binary build/windows-x86/flanger-sweep.dll pei-i386 "main"
check_binary build/windows-x64/flanger-sweep.dll pei-x86-64 "VSTPluginMain main"
check_binary build/windows-x86/host/vst-check.exe pei-i386 -
check_binary build/windows-x64/host/vst-check.exe pei-x86-64 -

# --- Wine ------------------------------------------------------------------
# One private prefix serves both widths (a 64-bit prefix runs 32-bit
# programs too); it never fetches Mono or Gecko and is removed at the end.
. ./scripts/wine-prefix.sh
mkdir -p "$work/linux" "$work/win32" "$work/win64" "$work/sweep-linux" "$work/sweep-win32" \
    "$work/sweep-win64"

# Without 32-bit Wine the prefix is 64-bit only and runs the 64-bit DLL;
# the 32-bit DLL's code is run by the i686 step under qemu-i386 instead.
if ((runs32)); then
    wine=(wine)
else
    export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    wine=(/usr/lib/wine/wine64)
    echo "windows: left out: the 32-bit DLL under Wine: $skipped32; its headers and" \
         "options are checked here and its code runs under qemu-i386 in the i686 step"
fi

step "creating the Wine prefix"
timeout 300 "${wine[@]}" wineboot --init >/dev/null 2>&1 || die "wineboot could not create a Wine prefix"
winpath() { timeout 60 "${wine[@]}" winepath -w "$1" 2>/dev/null; }

run_wine() {  # exe, dll, output folder
    local exe=$1 dll=$2 out=$3
    timeout 300 "${wine[@]}" "$exe" "$(winpath "$dll")" "$(winpath "$out")" ||
        die "$exe failed under Wine on $dll (exit $?)"
}
step "64-bit checker under Wine"
run_wine build/windows-x64/host/vst-check.exe build/windows-x64/flanger.dll "$work/win64"
run_wine build/windows-x64/host/vst-check.exe build/windows-x64/flanger-sweep.dll "$work/sweep-win64"
checker=build/windows-x64/host/vst-check.exe
if ((runs32)); then
    step "32-bit checker under Wine"
    run_wine build/windows-x86/host/vst-check.exe build/windows-x86/flanger.dll "$work/win32"
    run_wine build/windows-x86/host/vst-check.exe build/windows-x86/flanger-sweep.dll \
        "$work/sweep-win32"
    checker=build/windows-x86/host/vst-check.exe
fi

step "a missing DLL is reported as a failure"
set +e
message=$(timeout 120 "${wine[@]}" "$checker" 'C:\no-such-plugin.dll' \
    "$(winpath "$work/win32")" 2>&1)
status=$?
set -e
echo "$message"
[[ $status == 1 && $message == *"cannot load"* ]] ||
    die "vst-check on a missing DLL answered exit $status without the load error"

# --- Linux comparison ------------------------------------------------------
step "Linux checker"
"$native/host/vst-check" "$native/flanger.so" "$work/linux" || die "vst-check failed on the Linux build"
"$native/host/vst-check" "$native/flanger-sweep.so" "$work/sweep-linux" ||
    die "vst-check failed on the Linux companion"

compare="$native/host/vst-compare"
step "Linux against 64-bit Windows (tolerance $tolerance)"
"$compare" "$work/linux" "$work/win64" "$tolerance" || die "64-bit Windows build differs from Linux"
"$compare" "$work/sweep-linux" "$work/sweep-win64" "$tolerance" ||
    die "64-bit Windows companion differs from Linux"
if ((runs32)); then
    step "Linux against 32-bit Windows (tolerance $tolerance)"
    "$compare" "$work/linux" "$work/win32" "$tolerance" || die "32-bit Windows build differs from Linux"
    "$compare" "$work/sweep-linux" "$work/sweep-win32" "$tolerance" ||
        die "32-bit Windows companion differs from Linux"
    echo "windows: OK: both DLLs export and import as expected and match the Linux build under Wine"
else
    echo "windows: OK: both DLLs export and import as expected; the 64-bit DLL matches the Linux" \
         "build under Wine (the 32-bit DLL was not run under Wine: $skipped32)"
fi

#!/usr/bin/env bash
# Cross-builds the 32-bit and 64-bit Windows DLLs (and the Windows host
# tools) with mingw-w64: build/windows-x86/flanger.dll and
# build/windows-x64/flanger.dll, and the companion flanger-sweep.dll beside
# each.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
if ((${#missing[@]})); then
    echo "build-windows: missing tools; install them with:" >&2
    echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi

for preset in windows-x86 windows-x64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
echo "build-windows: built build/windows-x86/flanger.dll and flanger-sweep.dll (32-bit) and build/windows-x64/flanger.dll and flanger-sweep.dll (64-bit)"

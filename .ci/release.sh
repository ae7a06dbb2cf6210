#!/usr/bin/env bash
# Release artefacts: scripts/release.sh run twice, in two build folders, must
# give the same bytes; then each artefact is checked the way a user meets it.
# The .deb passes lintian, installs, runs from /usr/bin, its plug-in loads
# from /usr/lib/vst and renders like the build tree's, and removing it leaves
# none of its files. The archive, unpacked into an empty folder, renders like
# the build tree. The companion (flanger-sweep.so, its DLLs) is checked beside
# the flanger in each. The 64-bit ARM .deb passes lintian and holds AArch64
# binaries; the ARM archive's tool, run under qemu-aarch64, renders the same
# bytes as the x86-64 build tree. The zip holds a 32-bit and a 64-bit DLL with their exports,
# imports and version resource, and a VST 3 bundle with both widths' modules. The VST 3 module
# of the .deb (/usr/lib/vst3) and of the archive shows the same parameters, programs, texts,
# renders and state as the build tree's (vst3-check); the ARM ones are AArch64.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n=== release: %s\n' "$*"; }
die() {
    echo "release: FAILED: $*" >&2
    exit 1
}

./scripts/deps.sh git cmake ninja-build g++ pkg-config libsndfile1-dev binutils dpkg-dev lintian \
    zip unzip g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
    binutils-mingw-w64-x86-64 g++-aarch64-linux-gnu qemu-user
if ! dpkg -s libsndfile1-dev:arm64 lv2-dev:arm64 >/dev/null 2>&1; then
    if [[ $(dpkg --print-foreign-architectures) != *arm64* ]]; then
        sudo=""
        [[ $(id -u) -eq 0 ]] || sudo=sudo
        $sudo dpkg --add-architecture arm64
    fi
    ./scripts/deps.sh lv2-dev libsndfile1-dev:arm64 lv2-dev:arm64
fi

pkg=static-flanger
work=$(mktemp -d)
installed=0
cleanup() {
    if ((installed)); then dpkg -r "$pkg" >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- refusals (before anything is built) -----------------------------------
step "a dirty tree is refused"
touch release-ci-untracked
set +e
message=$(./scripts/release.sh 2>&1)
status=$?
set -e
rm -f release-ci-untracked
[[ $status != 0 && $message == *"uncommitted changes"* && $message == *release-ci-untracked* ]] ||
    die "release.sh on a dirty tree answered $status: $message"

step "missing tools are named with their Debian packages"
mkdir "$work/bin"
for tool in dirname sed sort; do ln -s "$(command -v "$tool")" "$work/bin/"; done
set +e
message=$(PATH=$work/bin "$BASH" scripts/release.sh 2>&1)
status=$?
set -e
[[ $status != 0 && $message == *"apt-get install"*" dpkg-dev "*" zip"* ]] ||
    die "release.sh without its tools answered $status: $message"

# --- two runs, same bytes --------------------------------------------------
step "release build 1 (build/release-ci-a)"
RELEASE_BUILD=build/release-ci-a ./scripts/release.sh
cp -a dist "$work/first"
step "release build 2 (build/release-ci-b)"
RELEASE_BUILD=build/release-ci-b ./scripts/release.sh
(cd dist && sha256sum -c --quiet SHA256SUMS) || die "dist/SHA256SUMS does not match the files"
for f in dist/*; do
    cmp "$f" "$work/first/${f#dist/}" || die "$f differs between two builds of one commit"
done
echo "both runs gave the same $(find dist -type f | wc -l) files"

version=$(sed -n 's/^#define FLANGER_VERSION "\(.*\)"$/\1/p' build/release-ci-a/linux-x86_64/generated/FlangerVersion.h)
deb=dist/${pkg}_${version}_amd64.deb
archive=dist/$pkg-$version-linux-x86_64.tar.gz
zip=dist/$pkg-$version-windows.zip
arm_deb=dist/${pkg}_${version}_arm64.deb
arm_archive=dist/$pkg-$version-linux-aarch64.tar.gz
for f in "$deb" "$archive" "$zip" "$arm_deb" "$arm_archive"; do [[ -f $f ]] || die "release.sh did not write $f"; done

# --- the reference: the development build ----------------------------------
ref=build/default
if [[ ! -f $ref/build.ninja ]]; then cmake --preset default >/dev/null; fi
cmake --build "$ref" -j2 --target flanger flanger_sweep flanger-render vst-probe vst-check vst-compare \
    flanger_vst3 vst3-check >/dev/null
mkdir -p "$work/ref" "$work/ref-sweep"
"$ref/host/vst-check" "$ref/flanger.so" "$work/ref" >/dev/null || die "vst-check failed on $ref/flanger.so"
"$ref/host/vst-check" "$ref/flanger-sweep.so" "$work/ref-sweep" >/dev/null ||
    die "vst-check failed on $ref/flanger-sweep.so"
"$ref/host/flanger-render" -q --plugin "$ref/flanger.so" --program 5 "$work/ref.au"

ref_vst3=$ref/flanger.vst3/Contents/x86_64-linux/flanger.so
"$ref/tests/vst3/vst3-check" "$ref_vst3" >"$work/ref-vst3.txt" || die "vst3-check failed on $ref_vst3"

vst3_like_reference() {  # VST 3 module
    "$ref/tests/vst3/vst3-check" "$1" >"$work/vst3.txt" || die "vst3-check failed on $1"
    diff "$work/ref-vst3.txt" "$work/vst3.txt" >&2 || die "$1 differs from $ref_vst3 (above)"
    echo "$1: parameters, programs, texts, renders and state as $ref_vst3"
}

renders_like_reference() {  # plug-in, label; the companion's name ends in -sweep.so
    local reference=ref built=$ref/flanger.so
    [[ $1 == *-sweep.so ]] && reference=ref-sweep built=$ref/flanger-sweep.so
    mkdir -p "$work/$2"
    "$ref/host/vst-check" "$1" "$work/$2" >/dev/null || die "vst-check failed on $1"
    "$ref/host/vst-compare" "$work/$reference" "$work/$2" 0 >/dev/null ||
        die "$1 renders differently from $built"
    echo "$1: all 20 programs render bit-identically to $built"
}

# --- .deb ------------------------------------------------------------------
step "lintian"
lintian --fail-on error "$deb" || die "lintian reports errors on $deb"

step "dpkg -i"
dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qx installed &&
    die "$pkg is installed already; remove it first (dpkg -r $pkg)"
# Only the missing dependencies go to apt (dpkg -s cannot tell which of two
# installed architectures is meant, so ask for amd64's).
missing=()
for p in $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/,/ /g'); do
    dpkg-query -W -f='${Status}' "$p:amd64" 2>/dev/null | grep -q 'ok installed' ||
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
echo "dependencies to install: ${missing[*]:-none}"
((${#missing[@]} == 0)) || ./scripts/deps.sh "${missing[@]}"
mapfile -t paths < <(dpkg-deb -c "$deb" | awk '{print substr($0, index($0, "./") + 1)}' | sed 's|/$||' | grep -v '^$')
existed=()
for p in "${paths[@]}"; do [[ -e $p ]] && existed+=("$p"); done
installed=1
dpkg -i "$deb"
[[ $(/usr/bin/flanger-render --version) == "flanger-render $version" ]] ||
    die "/usr/bin/flanger-render --version does not say $version"
list=$(cd / && /usr/bin/flanger-render --list) || die "/usr/bin/flanger-render --list failed"
[[ $list == *"Metal Air"* && $list == *"Post Flanger2 depth"* ]] || die "--list shows: $list"
echo "/usr/bin/flanger-render --list: $(grep -c . <<<"$list") lines"
probe=$("$ref/host/vst-probe" /usr/lib/vst/flanger.so) || die "vst-probe cannot load /usr/lib/vst/flanger.so"
IFS=. read -r major minor patch <<<"$version"
vendor=$((major * 1000 + minor * 100 + patch))
[[ $probe == *"Static Flanger Team, vendor version $vendor"* ]] ||
    die "vst-probe on /usr/lib/vst/flanger.so does not show vendor version $vendor: $probe"
echo "vst-probe /usr/lib/vst/flanger.so: vendor version $vendor"
renders_like_reference /usr/lib/vst/flanger.so installed
renders_like_reference /usr/lib/vst/flanger-sweep.so installed-sweep
vst3_like_reference /usr/lib/vst3/flanger.vst3/Contents/x86_64-linux/flanger.so
(cd / && /usr/bin/flanger-render -q --program 5 "$work/installed.au") || die "the installed tool cannot render"
cmp "$work/installed.au" "$work/ref.au" || die "the installed tool renders differently from $ref"
man_page=$(zcat /usr/share/man/man1/flanger-render.1.gz) || die "manual page missing"
[[ $man_page == *'\-\-version'* ]] || die "the installed manual page lacks --version"
grep -q "Permission is hereby granted" "/usr/share/doc/$pkg/copyright" || die "copyright lacks the license"

step "dpkg -r"
dpkg -r "$pkg"
installed=0
left=()
for p in "${paths[@]}"; do
    [[ -e $p || -L $p ]] || continue
    printf '%s\n' "${existed[@]}" | grep -qxF -- "$p" || left+=("$p")
done
((${#left[@]} == 0)) || die "dpkg -r left behind: ${left[*]}"
echo "removed: none of its ${#paths[@]} paths is left (${#existed[@]} folders were there before)"

# --- .tar.gz ---------------------------------------------------------------
step "archive in an empty folder"
mkdir "$work/unpacked"
tar -xzf "$archive" -C "$work/unpacked"
top=$work/unpacked/$pkg-$version-linux-x86_64
for f in INSTALL LICENSE README.md bin/flanger-render lib/vst/flanger.so lib/vst/flanger-sweep.so \
    share/man/man1/flanger-render.1 lib/vst3/flanger.vst3/Contents/x86_64-linux/flanger.so; do
    [[ -f $top/$f ]] || die "the archive lacks $f"
done
[[ $(find "$work/unpacked" -mindepth 1 -maxdepth 1) == "$top" ]] || die "the archive has more than one top folder"
renders_like_reference "$top/lib/vst/flanger.so" archive
renders_like_reference "$top/lib/vst/flanger-sweep.so" archive-sweep
vst3_like_reference "$top/lib/vst3/flanger.vst3/Contents/x86_64-linux/flanger.so"
# The archive's own tool, finding its plug-in by itself in ../lib/vst.
(cd "$work" && "$top/bin/flanger-render" -q --program 5 "$work/archive.au") ||
    die "the archive's flanger-render cannot render"
cmp "$work/archive.au" "$work/ref.au" || die "the archive's tool renders differently from $ref"
echo "the archive's flanger-render renders program 5 byte-identically to the build tree"

# --- 64-bit ARM -------------------------------------------------------------
step "64-bit ARM .deb and archive"
lintian --fail-on error "$arm_deb" || die "lintian reports errors on $arm_deb"
[[ $(dpkg-deb -f "$arm_deb" Architecture) == arm64 ]] || die "$arm_deb is not Architecture: arm64"
mkdir "$work/arm-deb" "$work/arm-unpacked"
dpkg-deb -x "$arm_deb" "$work/arm-deb"
tar -xzf "$arm_archive" -C "$work/arm-unpacked"
arm_top=$work/arm-unpacked/$pkg-$version-linux-aarch64
for f in usr/bin/flanger-render usr/lib/vst/flanger.so usr/lib/vst/flanger-sweep.so \
    usr/lib/lv2/flanger.lv2/flanger.so usr/lib/vst3/flanger.vst3/Contents/aarch64-linux/flanger.so; do
    [[ $(readelf -h "$work/arm-deb/$f") == *"Machine:"*"AArch64"* ]] || die "$arm_deb: $f is not AArch64"
    [[ $(readelf -h "$arm_top/${f#usr/}") == *"Machine:"*"AArch64"* ]] || die "$arm_archive: ${f#usr/} is not AArch64"
done
# The Turtle files are written by the effect itself, so both architectures'
# bundles describe the same plug-in.
diff -r "$work/arm-deb/usr/lib/lv2/flanger.lv2" "$top/lib/lv2/flanger.lv2" -x flanger.so ||
    die "the ARM and x86-64 LV2 bundles' Turtle files differ"
(cd "$work" && qemu-aarch64 "$arm_top/bin/flanger-render" -q --program 5 "$work/arm.au") ||
    die "the ARM archive's flanger-render cannot render under qemu-aarch64"
cmp "$work/arm.au" "$work/ref.au" || die "the ARM archive's tool renders differently from the x86-64 build"
echo "the ARM archive's flanger-render renders program 5 byte-identically to the x86-64 build tree"

# --- .zip ------------------------------------------------------------------
step "Windows zip"
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip"
win=$work/zip/$pkg-$version-windows
for f in INSTALL.txt LICENSE.txt README.md; do [[ -f $win/$f ]] || die "the zip lacks $f"; done
exports_of() {
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$1" |
        sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort -u | tr '\n' ' '
}
check_dll() {  # file, bits, objdump format, PE magic, exports
    local file=$win/$1 bits=$2 dump strings_text
    [[ -f $file ]] || die "the zip lacks $1"
    dump=$(objdump -p "$file") || die "objdump cannot read $1"
    [[ $dump == *"file format $3"* ]] || die "$1 is not $3"
    [[ $dump =~ Magic[[:space:]]+$4 ]] || die "$1: PE optional header magic is not $4"
    [[ $(exports_of "$dump") == "$5 " ]] || die "$1 exports '$(exports_of "$dump")', expected '$5'"
    [[ $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u | tr '\n' ' ') == "KERNEL32.dll msvcrt.dll " ]] ||
        die "$1 imports more than KERNEL32.dll and msvcrt.dll"
    # Resource type 16 is the version resource.
    [[ $dump == *"Entry: ID: 0x000010,"* ]] || die "$1 has no version resource"
    strings_text=$(strings -el "$file")
    grep -A1 -x ProductVersion <<<"$strings_text" | grep -qx "$version" ||
        die "$1: the version resource does not say $version"
    grep -A1 -x FileDescription <<<"$strings_text" | grep -q "($bits-bit)" ||
        die "$1: the version resource does not say $bits-bit"
    echo "$1: $3, exports $5, version resource $version ($bits-bit)"
}
check_dll flanger-32bit.dll 32 pei-i386 010b "main"
check_dll flanger-64bit.dll 64 pei-x86-64 020b "VSTPluginMain main"
check_dll flanger-sweep-32bit.dll 32 pei-i386 010b "main"
check_dll flanger-sweep-64bit.dll 64 pei-x86-64 020b "VSTPluginMain main"
for dll in flanger-32bit.dll flanger-64bit.dll flanger-sweep-32bit.dll flanger-sweep-64bit.dll \
    flanger.vst3; do
    grep -q "$dll" "$win/INSTALL.txt" || die "INSTALL.txt does not name $dll"
done
check_vst3() {  # module in the bundle, objdump format
    local file=$win/flanger.vst3/Contents/$1 dump
    [[ -f $file ]] || die "the zip lacks flanger.vst3/Contents/$1"
    dump=$(objdump -p "$file") || die "objdump cannot read $1"
    [[ $dump == *"file format $2"* ]] || die "$1 is not $2"
    [[ $(exports_of "$dump") == "ExitDll GetPluginFactory InitDll " ]] ||
        die "$1 exports '$(exports_of "$dump")', expected 'ExitDll GetPluginFactory InitDll'"
    [[ $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u | tr '\n' ' ') == "KERNEL32.dll msvcrt.dll " ]] ||
        die "$1 imports more than KERNEL32.dll and msvcrt.dll"
    echo "flanger.vst3/Contents/$1: $2, exports ExitDll GetPluginFactory InitDll"
}
check_vst3 x86-win/flanger.vst3 pei-i386
check_vst3 x86_64-win/flanger.vst3 pei-x86-64
[[ $(find "$win/flanger.vst3" -type f | wc -l) == 2 ]] || die "the zip's VST 3 bundle holds more than the two modules"

echo "release: OK: reproducible artefacts; .deb, archive and zip checked"

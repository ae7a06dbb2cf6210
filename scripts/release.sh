#!/usr/bin/env bash
# Builds, from a clean checkout, the files a release offers, into dist/:
#   static-flanger_VERSION_amd64.deb            Debian package
#   static-flanger-VERSION-linux-x86_64.tar.gz  the same files for other systems
#   static-flanger_VERSION_arm64.deb            the same two for 64-bit ARM,
#   static-flanger-VERSION-linux-aarch64.tar.gz   cross-built
#   static-flanger-VERSION-windows.zip          32-bit and 64-bit DLLs and the
#                                               VST 3 bundle with both widths
#   SHA256SUMS
# The version is the one in project() in CMakeLists.txt. Two runs from the
# same commit give the same bytes: timestamps come from the commit, archive
# members are sorted and owned by root, and the binaries carry no build
# paths (FLANGER_RELEASE).
#
# usage: scripts/release.sh [--allow-dirty]
# Environment: RELEASE_BUILD, the folder for the release builds (default
# build/release; it never shares a folder with the development presets).
set -euo pipefail
export LC_ALL=C TZ=UTC
cd "$(dirname "$0")/.."
root=$PWD

die() {
    echo "release: $*" >&2
    exit 1
}
note() { echo "release: $*"; }

allow_dirty=0
for arg in "$@"; do
    case $arg in
        --allow-dirty) allow_dirty=1 ;;
        -h | --help)
            sed -n '2,14s/^# \{0,1\}//p' "$0"
            exit 0
            ;;
        *) die "unknown argument '$arg' (usage: scripts/release.sh [--allow-dirty])" ;;
    esac
done

pkg=static-flanger
maintainer="Static Flanger Team <team@static-flanger.invalid>"
build=${RELEASE_BUILD:-build/release}
[[ $build == /* ]] || build=$root/$build
dist=$root/dist

# --- tools -----------------------------------------------------------------
# Each command with the Debian package that brings it; all missing ones are
# named in one install line.
tools=(
    git:git cmake:cmake ninja:ninja-build g++:g++ pkg-config:pkg-config
    strip:binutils dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev tar:tar gzip:gzip zip:zip
    sha256sum:coreutils md5sum:coreutils
    i686-w64-mingw32-g++-posix:g++-mingw-w64-i686-posix
    x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
    i686-w64-mingw32-windres:binutils-mingw-w64-i686
    x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64
    aarch64-linux-gnu-g++:g++-aarch64-linux-gnu qemu-aarch64:qemu-user
)
missing=()
for entry in "${tools[@]}"; do
    command -v "${entry%%:*}" >/dev/null || missing+=("${entry#*:}")
done
if command -v pkg-config >/dev/null && ! pkg-config --exists sndfile; then
    missing+=(libsndfile1-dev)
fi
if ((${#missing[@]})); then
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    die "missing tools; install them with:
  apt-get install -y --no-install-recommends ${missing[*]}"
fi
# The 64-bit ARM build links Debian's arm64 libraries (multiarch).
arm64_missing=()
for p in libsndfile1-dev:arm64 lv2-dev:arm64; do
    dpkg -s "$p" >/dev/null 2>&1 || arm64_missing+=("$p")
done
if ((${#arm64_missing[@]})); then
    die "missing the arm64 libraries the ARM build links; install them with:
  dpkg --add-architecture arm64 && apt-get update
  apt-get install -y --no-install-recommends ${arm64_missing[*]}"
fi

# --- the commit ------------------------------------------------------------
git rev-parse --verify -q HEAD >/dev/null ||
    die "$root is not a git checkout with a commit; release builds come from a commit"
if [[ -n $(git status --porcelain) ]]; then
    if ((allow_dirty)); then
        note "WARNING: the tree has uncommitted changes; these artefacts are NOT reproducible" \
            "from commit $(git rev-parse --short HEAD) and must not be published"
    else
        git status --short >&2
        die "the tree has uncommitted changes (above); commit or stash them first, or pass
  --allow-dirty for a trial build whose artefacts are not reproducible"
    fi
fi
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
umask 022

# --- helpers ---------------------------------------------------------------
cmake_build() {  # preset, folder, targets (space separated), extra cache settings...
    local preset=$1 dir=$2 targets=$3
    shift 3
    note "building $preset in ${dir#"$root"/}"
    cmake --preset "$preset" -B "$dir" -DFLANGER_RELEASE=ON -DFLANGER_TESTS=OFF "$@" >/dev/null ||
        die "configuring $preset failed"
    # Every build gives the version of project() in its generated header.
    local v
    v=$(sed -n 's/^#define FLANGER_VERSION "\(.*\)"$/\1/p' "$dir/generated/FlangerVersion.h")
    [[ $v =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "cannot read the version from $dir/generated/FlangerVersion.h"
    [[ -z ${version:-} || $v == "$version" ]] || die "$preset has version $v, not $version"
    version=$v
    # shellcheck disable=SC2086
    cmake --build "$dir" -j2 ${targets:+--target $targets} >/dev/null ||
        die "building $preset failed (run: cmake --build $dir)"
}

cache_value() {  # build folder, cache variable
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# Fixed modes and times for a staged tree.
normalise() {
    chmod -R u+rwX,go+rX,go-w "$1"
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

tarball() {  # folder holding one top folder, its name, output file
    tar -C "$1" --sort=name --format=gnu --mtime="@$SOURCE_DATE_EPOCH" \
        --owner=0 --group=0 --numeric-owner -cf - "$2" | gzip -9n >"$3"
}

zipball() {  # folder holding one top folder, its name, output file
    (cd "$1" && find "$2" -print | sort | zip -q -X -D -9 -@ "$3")
}

crlf() { sed 's/\r*$/\r/' "$1"; }

is_elf() { [[ $(head -c 4 "$1" | od -An -tx1 | tr -d ' \n') == 7f454c46 ]]; }

# --- Linux: one staged install, packaged as .deb and .tar.gz ----------------
# debian_arch: dpkg's name (amd64); archive_arch: the archive's (x86_64).
package_linux() {  # preset, debian_arch, archive_arch
    local preset=$1 debian_arch=$2 archive_arch=$3
    local dir=$build/linux-$archive_arch stage=$build/linux-$archive_arch-stage
    cmake_build "$preset" "$dir" "" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib \
        -DCMAKE_INSTALL_DOCDIR="share/doc/$pkg"
    rm -rf "$stage"
    cmake --install "$dir" --strip --prefix "$stage/usr" >/dev/null || die "installing $preset failed"
    local f
    for f in usr/lib/vst/flanger.so usr/lib/vst/flanger-sweep.so \
        "usr/lib/vst3/flanger.vst3/Contents/$archive_arch-linux/flanger.so" \
        usr/bin/flanger-render usr/share/man/man1/flanger-render.1 \
        "usr/share/doc/$pkg/README.md" "usr/share/doc/$pkg/LICENSE"; do
        [[ -f $stage/$f ]] || die "the install rules did not put $f into the staged tree"
    done
    local lv2=()
    [[ -d $stage/usr/lib/lv2 ]] &&
        mapfile -t lv2 < <(find "$stage/usr/lib/lv2" -mindepth 1 -maxdepth 1 -name '*.lv2' -printf '%f\n' | sort)
    make_archive "$stage" "$debian_arch" "$archive_arch" "${lv2[@]}"
    make_deb "$stage" "$debian_arch"
}

make_archive() {  # staged tree, debian_arch, archive_arch, LV2 bundle names...
    local stage=$1 debian_arch=$2 arch=$3
    shift 3
    local name=$pkg-$version-linux-$arch tree=$build/archive-$arch
    rm -rf "$tree" && mkdir -p "$tree/$name"
    cp -a "$stage/usr/bin" "$stage/usr/lib" "$tree/$name/"
    mkdir -p "$tree/$name/share"
    cp -a "$stage/usr/share/man" "$tree/$name/share/"
    cp "$root/README.md" "$root/LICENSE" "$tree/$name/"
    install_text "$debian_arch" "$arch" "$@" >"$tree/$name/INSTALL"
    normalise "$tree"
    tarball "$tree" "$name" "$dist/$name.tar.gz"
    note "wrote dist/$name.tar.gz"
}

install_text() {  # debian_arch, archive_arch, LV2 bundle names...
    local debian_arch=$1 arch=$2 lv2_list="" lv2_copy="" bundle
    shift 2
    for bundle in "$@"; do
        lv2_list+="  lib/lv2/$bundle/"$'\n'
        lv2_copy+="  mkdir -p ~/.lv2 && cp -r lib/lv2/$bundle ~/.lv2/"$'\n'
    done
    cat <<EOF
Static Flanger $version for Linux ($arch)

What is here
  lib/vst/flanger.so                   the VST 2 plug-in
  lib/vst/flanger-sweep.so             its companion, the sweep locked to the song
  lib/vst3/flanger.vst3/               the VST 3 plug-in (a bundle folder)
${lv2_list:+${lv2_list%$'\n'} (the LV2 plug-in)
}  bin/flanger-render                   renders audio files through the plug-in
  share/man/man1/flanger-render.1      its manual page
  README.md, LICENSE

For your user only (no root needed)
  mkdir -p ~/.vst ~/.vst3 ~/.local/bin ~/.local/share/man/man1
  cp lib/vst/flanger.so lib/vst/flanger-sweep.so ~/.vst/
  cp -r lib/vst3/flanger.vst3 ~/.vst3/
${lv2_copy}  cp bin/flanger-render ~/.local/bin/
  cp share/man/man1/flanger-render.1 ~/.local/share/man/man1/

Then let your host rescan its plug-ins. Most hosts look in ~/.vst (and
~/.vst3, ~/.lv2); others read VST_PATH or LXVST_PATH (VST3_PATH for VST 3,
LV2_PATH for LV2), or have a folder list in their preferences.

flanger-render needs libsndfile (Debian and Ubuntu: libsndfile1; most
distributions call it libsndfile). It looks for the plug-in beside itself
and in ../lib/vst; installed as above, link it once:
  mkdir -p ~/.local/lib/vst && ln -sf ~/.vst/flanger.so ~/.local/lib/vst/
or name it on each run:
  flanger-render --plugin ~/.vst/flanger.so --list

For all users (as root), keeping this layout:
  cp lib/vst/flanger.so lib/vst/flanger-sweep.so /usr/local/lib/vst/
  cp -r lib/vst3/flanger.vst3 /usr/local/lib/vst3/
  cp bin/flanger-render /usr/local/bin/
  cp share/man/man1/flanger-render.1 /usr/local/share/man/man1/
(create the folders first if they are missing; the tool then finds the
plug-in by itself). bin/flanger-render also runs from this folder as it is.

On Debian the .deb does all of this and installs libsndfile:
  sudo apt install ./${pkg}_${version}_${debian_arch}.deb
EOF
}

make_deb() {  # staged tree, debian_arch
    local stage=$1 arch=$2 tree=$build/deb-$2 doc
    rm -rf "$tree" && cp -a "$stage" "$tree"
    doc=$tree/usr/share/doc/$pkg
    # Debian keeps the license in the copyright file and compresses manual
    # pages and changelogs.
    rm "$doc/LICENSE"
    { cat <<EOF
Static Flanger

$(head -3 "$root/LICENSE" | tail -1)

License: MIT (Expat)

EOF
      cat "$root/LICENSE"; } >"$doc/copyright"
    cat <<EOF | gzip -9n >"$doc/changelog.gz"
$pkg ($version) unstable; urgency=medium

  * Release $version.

 -- $maintainer  $(date -R -d "@$SOURCE_DATE_EPOCH")
EOF
    gzip -9n "$tree/usr/share/man/man1/flanger-render.1"

    local elves=() f
    while IFS= read -r -d '' f; do
        is_elf "$f" && elves+=(-e "$f")
    done < <(find "$tree/usr" -type f -print0 | sort -z)
    local shlibs=$build/shlibdeps-$arch depends
    rm -rf "$shlibs" && mkdir -p "$shlibs/debian"
    printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$pkg" "$pkg" >"$shlibs/debian/control"
    # dpkg-architecture sets the host architecture, so a cross-built tree is
    # read with its own objdump and matched against that architecture's
    # libraries.
    depends=$(cd "$shlibs" && dpkg-architecture -a "$arch" -c dpkg-shlibdeps -O "${elves[@]}" 2>/dev/null) ||
        die "dpkg-shlibdeps failed on the staged binaries (run it by hand in $shlibs)"
    depends=${depends#shlibs:Depends=}

    mkdir -p "$tree/DEBIAN"
    cat >"$tree/DEBIAN/control" <<EOF
Package: $pkg
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -s --apparent-size --block-size=1024 "$tree/usr" | cut -f1)
Depends: $depends
Section: sound
Priority: optional
Description: stereo flanger effect plug-in (VST 2, VST 3) with a render tool
 A stereo flanger for audio hosts: a short delay line per channel with
 signed feedback and mix, an optional filter inside the feedback loop,
 two further comb stages and eight inject modes. Twelve parameters and
 twenty programs.
 .
 The VST 2 plug-in is installed in /usr/lib/vst, the VST 3 plug-in in
 /usr/lib/vst3 (and the LV2 plug-in, when built, in /usr/lib/lv2).
 flanger-render runs audio files through the plug-in from the command line.
EOF
    (cd "$tree" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$tree/DEBIAN/md5sums"
    normalise "$tree"
    chmod 0644 "$tree/DEBIAN/control" "$tree/DEBIAN/md5sums"
    local out=$dist/${pkg}_${version}_$arch.deb
    dpkg-deb --root-owner-group -Zxz --build "$tree" "$out" >/dev/null || die "dpkg-deb failed"
    note "wrote ${out#"$root"/} (Depends: $depends)"
}

# --- Windows: both DLL widths and one VST 3 bundle in one zip --------------
package_windows() {
    local name=$pkg-$version-windows tree=$build/zip entry preset bits dir arch plugin
    rm -rf "$tree" && mkdir -p "$tree/$name"
    for entry in windows-x86:32:x86-win windows-x64:64:x86_64-win; do
        IFS=: read -r preset bits arch <<<"$entry"
        dir=$build/$preset
        cmake_build "$preset" "$dir" "flanger flanger_sweep flanger_vst3" -DFLANGER_HOST_TOOLS=OFF
        for plugin in flanger flanger-sweep; do
            "$(cache_value "$dir" CMAKE_STRIP)" --strip-unneeded \
                -o "$tree/$name/$plugin-${bits}bit.dll" "$dir/$plugin.dll" ||
                die "stripping $dir/$plugin.dll failed"
        done
        mkdir -p "$tree/$name/flanger.vst3/Contents/$arch"
        "$(cache_value "$dir" CMAKE_STRIP)" --strip-unneeded \
            -o "$tree/$name/flanger.vst3/Contents/$arch/flanger.vst3" \
            "$dir/flanger.vst3/Contents/$arch/flanger.vst3" || die "stripping $dir's VST 3 module failed"
    done
    windows_text | crlf /dev/stdin >"$tree/$name/INSTALL.txt"
    crlf "$root/LICENSE" >"$tree/$name/LICENSE.txt"
    crlf "$root/README.md" >"$tree/$name/README.md"
    normalise "$tree"
    rm -f "$dist/$name.zip"
    zipball "$tree" "$name" "$dist/$name.zip"
    note "wrote dist/$name.zip"
}

windows_text() {
    cat <<EOF
Static Flanger $version for Windows

  flanger-64bit.dll   for 64-bit hosts (most current hosts)
  flanger-32bit.dll   for 32-bit hosts
  flanger-sweep-64bit.dll, flanger-sweep-32bit.dll
                      the companion "Static Flanger Sweep": the same effect
                      with a depth sweep locked to the host's timeline
  flanger.vst3        the VST 3 plug-in, a folder holding both widths

A host loads only plug-ins of its own width: a 64-bit host needs the
64-bit DLL and skips the 32-bit one, and a 32-bit host needs the 32-bit
DLL. On 64-bit Windows, Task Manager shows "(32 bit)" after the names of
32-bit programs.

To install:
1. Copy the DLL for your host into the folder the host scans for VST 2
   plug-ins (set in its plug-in preferences). Common folders:
     64-bit host:                    C:\\Program Files\\VstPlugins
     32-bit host on 64-bit Windows:  C:\\Program Files (x86)\\VstPlugins
     32-bit host on 32-bit Windows:  C:\\Program Files\\VstPlugins
   Both DLLs may share one folder under these names.
2. Let the host rescan its plug-ins. The effect appears as "Static Flanger".

VST 3 hosts: copy the whole flanger.vst3 folder into
  C:\\Program Files\\Common Files\\VST3
(or %LOCALAPPDATA%\\Programs\\Common\\VST3 for your user only). Each host
picks the module of its own width from inside the folder.

Nothing else needs installing: the DLLs use only Windows' own libraries.
The version is shown in the DLL's Properties, on the Details tab.
EOF
}

# --- run -------------------------------------------------------------------
mkdir -p "$build"
rm -rf "$dist" && mkdir -p "$dist"
version=""

note "commit $(git rev-parse --short HEAD), SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH"

package_linux default amd64 x86_64
package_linux linux-arm64 arm64 aarch64
package_windows

(cd "$dist" && sha256sum -- *.deb *.tar.gz *.zip >SHA256SUMS)
note "wrote dist/SHA256SUMS:"
cat "$dist/SHA256SUMS"

#!/usr/bin/env bash
# Installs the Debian packages given as arguments (default: what building
# and testing need) unless they are all present already.
set -euo pipefail
packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev libsndfile1-dev lv2-dev
    liblilv-dev)
fi
native=$(dpkg --print-architecture)
# Installed for the architecture asked for: "name" means this machine's own
# (or a package for all), "name:arch" that one. Once the cross builds have
# installed a library for a second architecture, a bare name is ambiguous
# to dpkg -s, so the status is read per architecture.
installed() {
  local arch=$native
  [[ $1 == *:* ]] && arch=${1##*:}
  dpkg-query -W -f='${db:Status-Abbrev}|${Architecture}\n' "$1" 2>/dev/null |
    awk -F'|' -v a="$arch" '$1 ~ /^ii/ && ($2 == a || $2 == "all") {ok = 1} END {exit !ok}'
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# Packages of another architecture (name:i386, name:arm64) need it enabled.
for p in "${missing[@]}"; do
  arch=${p##*:}
  [[ $p == *:* && $arch != "$native" ]] || continue
  dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
# A mirror caught in the middle of a sync serves an index of the wrong size
# for a while: each step is tried again. When the update still fails, the
# indexes it did fetch are used; if one architecture then lacks a suite the
# other has (say the i386 security index), the versions of the two cannot
# be matched, so the install falls back to the release's own suite, where
# every architecture has the same versions.
attempts() {
  local attempt
  for attempt in 1 2 3; do
    "$@" && return 0
    [ "$attempt" -lt 3 ] || break
    echo "deps: '$*' failed (attempt $attempt of 3); trying again in 20 s" >&2
    sleep 20
  done
  return 1
}
install=($sudo apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600)
if attempts $sudo apt-get update -q; then
  attempts "${install[@]}" "${missing[@]}" && exit 0
else
  echo "deps: 'apt-get update' failed 3 times; installing from the indexes it fetched" >&2
  "${install[@]}" "${missing[@]}" && exit 0
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ -n "$codename" ]; then
    echo "deps: installing from $codename's own suite instead" >&2
    attempts "${install[@]}" -t "$codename" "${missing[@]}" && exit 0
  fi
fi
echo "deps: could not install ${missing[*]}: check the network and the Debian mirror, then run again" >&2
exit 1

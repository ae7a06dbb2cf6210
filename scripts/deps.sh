#!/usr/bin/env bash
# Installs the Debian packages given as arguments (default: what building
# and testing need) unless they are all present already. Either every
# package is installed or none is: when one cannot be, the script names the
# packages and the reason in one line, undoes an architecture it enabled
# for them, and exits 1, so a caller that can go on without them says so.
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

fail() {  # one line: what could not be installed and why
  echo "deps: could not install ${missing[*]}: $*" >&2
  exit 1
}
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || fail "this needs root, or sudo, which is not installed"
  sudo=sudo
fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
added=()
cleanup() {
  # An architecture enabled for packages that did not install is disabled
  # again, so no later 'apt-get update' fetches (and trips on) its indexes.
  local arch
  for arch in "${added[@]}"; do
    $sudo dpkg --remove-architecture "$arch" 2>/dev/null &&
      echo "deps: disabled the $arch architecture again" >&2 || true
  done
  rm -f "$log"
}
trap cleanup EXIT
# Packages of another architecture (name:arm64, name:i386) need it enabled.
for p in "${missing[@]}"; do
  arch=${p##*:}
  [[ $p == *:* && $arch != "$native" ]] || continue
  dpkg --print-foreign-architectures | grep -qx "$arch" && continue
  [[ " ${added[*]} " == *" $arch "* ]] && continue
  $sudo dpkg --add-architecture "$arch"
  added+=("$arch")
done

# The first error apt printed, on one line.
reason() {
  local line
  line=$(grep -m1 -E '^ [^ ]+ : Depends:' "$log" || true)
  if [[ -n $line ]]; then
    line="apt cannot satisfy their dependencies from the indexes it has:$line, ..."
  else
    line=$(grep -m1 -E '^E: ' "$log" || true)
    line=${line#E: }
  fi
  echo "${line:-apt-get failed without an error message}" | sed 's/  */ /g'
}
# apt-get update and install, each tried again while a mirror caught in the
# middle of a sync serves an index of the wrong size; the output goes to the
# log (and, tagged, to standard error).
run_apt() {
  "$@" >"$log" 2>&1 && return 0
  grep -E '^(E|W): ' "$log" | grep -v 'have been ignored' | head -n 3 | sed 's/^/deps: apt: /' >&2 || true
  return 1
}
# When the only indexes that fail are those of an architecture this call
# enabled, trying again cannot help: apt stops at once with the reason.
foreign_only() {
  local arch failing
  failing=$(grep -E '^(E|W): Failed to fetch' "$log" | grep -oE 'binary-[a-z0-9]+' | sort -u || true)
  [[ -n $failing ]] || return 1
  for arch in $failing; do
    [[ " ${added[*]} " == *" ${arch#binary-} "* ]] || return 1
  done
}
updated=0
for attempt in 1 2 3; do
  if run_apt $sudo apt-get update -q -o DPkg::Lock::Timeout=600; then
    updated=1
    break
  fi
  foreign_only && break
  [ "$attempt" -lt 3 ] || break
  echo "deps: 'apt-get update' failed (attempt $attempt of 3); trying again in 20 s" >&2
  sleep 20
done
update_reason=""
((updated)) || update_reason="an index could not be fetched ($(reason)); "
install=($sudo apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600)
# apt resolves and downloads every package before it unpacks any, so a
# failed install leaves nothing half-done.
for attempt in 1 2; do
  if run_apt "${install[@]}" "${missing[@]}"; then
    added=()  # in use now: keep them enabled
    exit 0
  fi
  grep -q 'Mirror sync in progress\|Hash Sum mismatch\|Failed to fetch' "$log" || break
  [ "$attempt" -lt 2 ] || break
  echo "deps: download failed; trying again in 20 s" >&2
  sleep 20
done
fail "${update_reason}$(reason)"

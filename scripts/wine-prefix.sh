# Sourced by the CI steps that run our Windows binaries under Wine: a
# private prefix in a fresh work folder ($work) that never fetches Mono or
# Gecko, and a trap that stops its wineserver and removes the folder on
# exit. (A 64-bit prefix runs 32-bit programs too, where 32-bit Wine is
# installed.)
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    if [[ -d $WINEPREFIX ]]; then
        timeout 60 wineserver -k 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

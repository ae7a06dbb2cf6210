#!/usr/bin/env bash
# Renders a fixed test signal through the plug-in in real hosts and compares
# each render sample by sample with the same signal run through the
# project's own host library:
#   ardour  Ardour 7, the Linux .so: factory program 5 and an automated
#           Flanger Depth; also checks that every parameter takes automation
#           and that the programs are listed by name
#   ardour_lv2  Ardour 7, the LV2 bundle: preset Mega Bass (an inject mode
#           that reads the input, which Ardour's in-place buffers would
#           change) and an automated Flanger Depth; also checks that every
#           control takes automation and that the presets are listed by name
#   ardour_vst3  Ardour 7, the VST 3 bundle: its scanner, then factory
#           program 5 and an automated Flanger Depth; also checks that every
#           parameter takes automation and that the 20 programs are listed
#           by name
#   ardour_sweep  Ardour 7, the companion as VST 2 (.so) and LV2: sessions
#           at 120 bpm with program 0 (a sine synced to one bar) from the
#           timeline's start and from bar 3. The VST 2 plug-in runs through
#           tests/hosts/record-shim, which logs Ardour's calls and the time
#           it answered; replaying the log through the real binary gives the
#           export bit for bit, and replaying it with each frame's exact
#           position gives flanger-render --tempo 120 bit for bit, so every
#           sample where the export differs from the tool follows from
#           Ardour's positions (its frames are exact; its ppq is rounded to
#           1/1920 of a quarter note). Bar 3 is reached with the same sweep
#           position as a render from the timeline's start. The LV2 exports
#           equal the VST 2 exports bit for bit, and the exports from the
#           start twice over (VST 2 once without the shim) are bit-identical.
#   lmms    LMMS 1.2 (i386) through Wine, the 32-bit DLL with all twelve
#           parameters set in the project, then the companion's DLL with
#           its eighteen (Sweep Shape Off)
# Every host runs with a time-out; one that fails, crashes or hangs fails
# the check with its log printed, and the remaining hosts still run. (The
# host functions run inside an if, where errexit does not apply: each step
# checks its own status.)
# Installs what it needs from Debian when missing. HOSTS_ONLY="ardour ardour_lv2 ardour_vst3
# ardour_sweep lmms" picks hosts; HOSTS_KEEP=1 keeps the work folder.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/flanger-hosts.XXXXXX)
HOSTS=${HOSTS_ONLY:-ardour ardour_lv2 ardour_vst3 ardour_sweep lmms}
RATE=44100
PROGRAM=5     # Metal Flange 1
LV2_PRESET="Mega Bass"  # program 7, inject mode 8
LV2_PROGRAM=7
DEPTH=0.3
cleanup() { [[ ${HOSTS_KEEP:-0} == 1 ]] || rm -rf "$WORK"; }
trap cleanup EXIT

say() { printf '== hosts: %s\n' "$*"; }

# --- Packages -------------------------------------------------------------
install_missing() {
    "$ROOT/scripts/deps.sh" "$@" >/dev/null
}

install_missing cmake ninja-build g++ pkg-config libsndfile1-dev libgtest-dev lv2-dev
[[ " $HOSTS " == *" ardour"* ]] && install_missing ardour
# LMMS here is a 32-bit program (and runs the 32-bit DLL through Wine): a
# kernel built without 32-bit support (IA32 emulation off) cannot start it,
# and its i386 packages install only while the mirror's i386 index is
# whole. Without either, LMMS is left out and the run says why in one line.
drop_host() {
    HOSTS=$(tr ' ' '\n' <<<"$HOSTS" | grep -vx "$1" | tr '\n' ' ')
}
if [[ " $HOSTS " == *" lmms "* ]]; then
    if ! "$ROOT/scripts/runs-32bit.sh"; then
        say "lmms left out: this kernel cannot run 32-bit programs (no IA32 emulation)"
        drop_host lmms
    else
        if "$ROOT/scripts/deps.sh" wine32:i386 lmms:i386 lmms-vst-server:i386 >/dev/null; then
            install_missing g++-mingw-w64-i686-posix wine wine64 xvfb xauth
        else
            say "lmms left out: its i386 packages could not be installed (deps.sh said why above)"
            drop_host lmms
        fi
    fi
fi

# --- Builds ---------------------------------------------------------------
say "building the plug-in and the reference renderer"
cmake --preset default -S "$ROOT" >/dev/null
cmake --build "$ROOT/build/default" -j2 --target flanger flanger_sweep flanger_lv2_bundle \
    flanger-render host-check record-shim >/dev/null
SO=$ROOT/build/default/flanger.so
BUNDLE=$ROOT/build/default/flanger.lv2
CHECK=$ROOT/build/default/tests/hosts/host-check

if [[ " $HOSTS " == *" lmms "* ]]; then
    say "cross-building the 32-bit DLL"
    (cd "$ROOT" && cmake --preset windows-x86 >/dev/null &&
        cmake --build --preset windows-x86 --target flanger flanger_sweep >/dev/null)
fi

# --- Test signal ----------------------------------------------------------
"$CHECK" signal "$WORK/in.wav" >/dev/null
FRAMES=$((2 * RATE))

# Runs a command with a time-out, its output in LOG. Answers its status;
# 124 means it hung and was stopped.
run_logged() {
    local limit=$1 log=$2
    shift 2
    local status=0
    timeout -k 10 "$limit" "$@" >"$log" 2>&1 || status=$?
    ((status == 124 || status == 137)) && echo "(stopped after ${limit} s: hung)" >>"$log"
    return "$status"
}

show_log() {
    echo "---- $1 ----"
    tail -n 60 "$1" || true
    echo "----"
}

# Builds the Ardour session in folder $2 with make-session.lua: the test
# signal at the session depth, the plug-in and the rest from the caller's
# HC_* variables. Its log goes to $1/session.log; $3 names the session in a
# failure, $4 is the time limit (60 s unless given).
ardour_session() {
    local dir=$1 session=$2 what=$3 limit=${4:-60}
    if ! HC_DIR=$session HC_NAME=check HC_INPUT=$WORK/in.wav HC_FRAMES=$FRAMES HC_RATE=$RATE \
        HC_DEPTH=$DEPTH run_logged "$limit" "$dir/session.log" ardour7-lua \
        "$ROOT/tests/hosts/ardour/make-session.lua" ||
        ! grep -q '^session ready' "$dir/session.log"; then
        echo "Ardour's session tool could not build $what"
        show_log "$dir/session.log"
        return 1
    fi
}

# --- Ardour ---------------------------------------------------------------
check_ardour() {
    local dir=$WORK/ardour
    mkdir -p "$dir/plugin" "$dir/config" "$dir/cache"
    cp "$SO" "$dir/plugin/flanger.so" || return 1
    export XDG_CONFIG_HOME=$dir/config XDG_CACHE_HOME=$dir/cache LXVST_PATH=$dir/plugin

    # The session tool only reads the scanner's cache, and only if the cache
    # is dated after the plug-in in whole seconds.
    if ! LD_LIBRARY_PATH=/usr/lib/ardour7 run_logged 30 "$dir/scan.log" \
        /usr/lib/ardour7/ardour-vst-scanner -f "$dir/plugin/flanger.so" ||
        ! grep -q 'Saved VST2 plugin cache' "$dir/scan.log"; then
        echo "Ardour's scanner did not accept the plug-in"
        show_log "$dir/scan.log"
        return 1
    fi
    local cache
    cache=$(find "$dir/cache" -name '*.v2i' | head -n 1)
    touch -d "@$(($(stat -c %Y "$dir/plugin/flanger.so") + 1))" "$cache"

    HC_PLUGIN=$dir/plugin/flanger.so HC_PROGRAM=$PROGRAM \
        ardour_session "$dir" "$dir/session" "the session" || return 1
    grep -E '^(region|plug-in|parameter|program)' "$dir/session.log"
    # Every parameter takes automation, and every program shows its name.
    local automated named
    automated=$(grep -c '^parameter .* automation play$' "$dir/session.log" || true)
    named=$(grep -cE '^program VST:[0-9]+:[0-9]{4} [0-9]+ - (--- Default ---|Init [0-9]+|[A-Z][A-Za-z0-9 ]+)$' \
        "$dir/session.log" || true)
    if ((automated != 12 || named != 20)) ||
        ! grep -q '^program VST:[0-9]*:0005 5 - Metal Flange 1$' "$dir/session.log"; then
        echo "Ardour shows $automated of 12 parameters as automatable and $named of 20 programs by name"
        return 1
    fi

    ardour_export_matches "$dir" "$PROGRAM"
}

# Exports the session "check" in folder $2 to $3 as 32-bit float, its log
# in $1, each try stopped after $4 seconds (default 60). The exporter
# sometimes aborts or hangs with any plug-in: three tries (a record-shim
# log named by FLANGER_SHIM_LOG starts afresh each).
ardour_export() {
    local dir=$1 session=$2 out=$3 limit=${4:-60} try
    for try in 1 2 3; do
        rm -f "$out"
        [[ -z ${FLANGER_SHIM_LOG:-} ]] || rm -f "$FLANGER_SHIM_LOG"
        if run_logged "$limit" "$dir/export.log" ardour7-export -b float -o "$out" "$session" check &&
            [[ -s $out ]]; then
            return 0
        fi
        echo "ardour7-export failed, crashed or hung (try $try of 3)"
        show_log "$dir/export.log"
    done
    return 1
}

# Exports the session in $1 and compares it, offset 0 and tolerance 0, with
# the VST 2 build's out-of-place render of program $2 at the session's depth.
# Ardour processes in 1024-frame blocks and the plug-in reports no latency,
# so the export lines up with the input frame for frame (for LV2 too,
# whatever buffers Ardour hands it).
ardour_export_matches() {
    local dir=$1 program=$2
    ardour_export "$dir" "$dir/session" "$dir/out.wav" || return 1
    "$CHECK" render "$SO" "$WORK/in.wav" "$dir/ref.wav" --block 1024 \
        --program "$program" --param "0=$DEPTH" >/dev/null || return 1
    "$CHECK" compare "$dir/ref.wav" "$dir/out.wav" --expect-offset 0 --tolerance 0
}

# --- Ardour, LV2 ----------------------------------------------------------
check_ardour_lv2() {
    local dir=$WORK/ardour-lv2
    mkdir -p "$dir/lv2" "$dir/config" "$dir/cache"
    cp -r "$BUNDLE" "$dir/lv2/" || return 1
    # Ardour finds LV2 bundles through LV2_PATH; no scan is needed.
    export XDG_CONFIG_HOME=$dir/config XDG_CACHE_HOME=$dir/cache LV2_PATH=$dir/lv2
    local uri label=$LV2_PRESET
    uri=$(sed -n 's/^<\([^>]*\)>$/\1/p' "$BUNDLE/manifest.ttl" | head -n 1)

    HC_TYPE=LV2 HC_PLUGIN=$uri HC_PRESET=$label \
        ardour_session "$dir" "$dir/session" "the LV2 session" || return 1
    grep -E '^(region|plug-in|parameter|program)' "$dir/session.log"
    # Every control takes automation; the presets are the bundle's, by name.
    local automated listed expected
    automated=$(grep -c '^parameter .* automation play$' "$dir/session.log" || true)
    listed=$(sed -n "s|^program $uri#[a-z0-9-]* ||p" "$dir/session.log" | sort)
    # (the flanger's presets: the manifest lists the companion's too)
    expected=$(awk -v uri="<$uri>" '/lv2:appliesTo/ { mine = index($0, uri) > 0 }
        mine && /^    rdfs:label "/ { sub(/^    rdfs:label "/, ""); sub(/" ;$/, ""); print }' \
        "$BUNDLE/manifest.ttl" | sort)
    if ((automated != 12)) || [[ -z $listed || $listed != "$expected" ]] ||
        ! grep -q "^plug-in .*, preset $label\$" "$dir/session.log"; then
        echo "Ardour shows $automated of 12 controls as automatable, or not the bundle's presets by name"
        return 1
    fi

    ardour_export_matches "$dir" "$LV2_PROGRAM"
}

# --- Ardour, the companion -------------------------------------------------
# The companion (program 0: a sine synced to one bar) in sessions at 120 bpm
# from the timeline's start and from bar 3, as VST 2 and as LV2. The VST 2
# sessions run it through record-shim, which logs every call Ardour makes
# and the time it answers; `host-check replay` plays the log back through
# the real binary (it must give Ardour's export bit for bit), then replays
# the same calls with each frame's exact position, which must give
# flanger-render --tempo 120 bit for bit: so every sample where the export
# differs from the tool follows from the positions Ardour reported (its ppq
# is rounded to 1/1920 of a quarter note). The LV2 exports must equal the
# VST 2 exports bit for bit, and each start-of-timeline export twice.
check_ardour_sweep() {
    local dir=$WORK/ardour-sweep program=0 bar3=$((4 * RATE))  # bar 3 at 120 bpm in 4/4: 4 s
    local real=$dir/real/flanger-sweep.so so=$dir/plugin/flanger-sweep.so uri
    local tool=$ROOT/build/default/host/flanger-render
    uri=$(sed -n 's/^<\([^>#]*sweep\)>$/\1/p' "$BUNDLE/manifest.ttl" | head -n 1)
    mkdir -p "$dir/plugin" "$dir/real" "$dir/lv2" "$dir/config" "$dir/cache"
    cp "$ROOT/build/default/flanger-sweep.so" "$real" || return 1
    cp "$ROOT/build/default/tests/hosts/record-shim.so" "$so" || return 1
    cp -r "$BUNDLE" "$dir/lv2/" || return 1
    export XDG_CONFIG_HOME=$dir/config XDG_CACHE_HOME=$dir/cache LXVST_PATH=$dir/plugin \
        LV2_PATH=$dir/lv2 FLANGER_SHIM_PLUGIN=$real
    if ! LD_LIBRARY_PATH=/usr/lib/ardour7 run_logged 30 "$dir/scan.log" \
        /usr/lib/ardour7/ardour-vst-scanner -f "$so" ||
        ! grep -q 'Saved VST2 plugin cache' "$dir/scan.log"; then
        echo "Ardour's scanner did not accept the companion (through record-shim)"
        show_log "$dir/scan.log"
        return 1
    fi
    touch -d "@$(($(stat -c %Y "$so") + 1))" "$(find "$dir/cache" -name '*.v2i' | head -n 1)"

    # The references: the tool as a timeline host at 120 bpm from frame 0;
    # for bar 3 the signal after 4 s of silence.
    "$CHECK" signal "$dir/lead.wav" --lead "$bar3" >/dev/null || return 1
    "$tool" -q --float --plugin "$real" --program "$program" --tempo 120 --block 1024 \
        "$WORK/in.wav" "$dir/ref-0.wav" || return 1
    "$tool" -q --float --plugin "$real" --program "$program" --tempo 120 --block 1024 \
        "$dir/lead.wav" "$dir/ref-$bar3.wav" || return 1

    local start type
    for start in 0 "$bar3"; do
        for type in LXVST LV2; do
            HC_TYPE=$type HC_PLUGIN=$([[ $type == LV2 ]] && echo "$uri" || echo "$so") \
                HC_PROGRAM=$program HC_PRESET="--- Default ---" HC_START=$start \
                ardour_session "$dir" "$dir/session-$type-$start" \
                "the companion's $type session at frame $start" || return 1
            grep -E '^plug-in' "$dir/session.log" | sed "s/^/$type from frame $start: /"
        done
        echo "VST 2 from frame $start, recorded:"
        FLANGER_SHIM_LOG=$dir/calls-$start.bin ardour_export "$dir" "$dir/session-LXVST-$start" \
            "$dir/vst-$start.wav" 30 || return 1
        "$CHECK" replay "$dir/calls-$start.bin" "$real" --export "$dir/vst-$start.wav" \
            --input "$WORK/in.wav" --reference "$dir/ref-$start.wav" --start "$start" \
            --tempo 120 || return 1
        echo "LV2 from frame $start against VST 2:"
        ardour_export "$dir" "$dir/session-LV2-$start" "$dir/lv2-$start.wav" 30 || return 1
        "$CHECK" compare "$dir/vst-$start.wav" "$dir/lv2-$start.wav" --expect-offset 0 \
            --tolerance 0 || return 1
    done
    # The same exports again: VST 2 without the shim in between.
    echo "VST 2 from frame 0 again, not recorded:"
    ardour_export "$dir" "$dir/session-LXVST-0" "$dir/vst-0b.wav" 30 || return 1
    "$CHECK" compare "$dir/vst-0.wav" "$dir/vst-0b.wav" --expect-offset 0 --tolerance 0 || return 1
    echo "LV2 from frame 0 again:"
    ardour_export "$dir" "$dir/session-LV2-0" "$dir/lv2-0b.wav" 30 || return 1
    "$CHECK" compare "$dir/lv2-0.wav" "$dir/lv2-0b.wav" --expect-offset 0 --tolerance 0
}

# --- Ardour, VST 3 --------------------------------------------------------
check_ardour_vst3() {
    local dir=$WORK/ardour-vst3 build=$ROOT/build/default
    cmake --build "$build" -j2 --target flanger_vst3 vst3-check >/dev/null || return 1
    mkdir -p "$dir/vst3" "$dir/config" "$dir/cache"
    cp -r "$build/flanger.vst3" "$dir/vst3/" || return 1
    local module=$dir/vst3/flanger.vst3/Contents/x86_64-linux/flanger.so cid
    # The flanger's class by its name (the module offers the companion too).
    cid=$("$build/tests/vst3/vst3-check" "$module" |
        sed -n "s/^class \([0-9A-F]\{32\}\) .* 'Static Flanger'\$/\1/p")
    [[ -n $cid ]] || { echo "vst3-check cannot read the module's class ID"; return 1; }
    export XDG_CONFIG_HOME=$dir/config XDG_CACHE_HOME=$dir/cache VST3_PATH=$dir/vst3

    # The scanner needs the bundle's absolute path; its cache counts only if
    # dated after the module in whole seconds.
    if ! LD_LIBRARY_PATH=/usr/lib/ardour7 run_logged 30 "$dir/scan.log" \
        /usr/lib/ardour7/ardour-vst3-scanner -f "$dir/vst3/flanger.vst3" ||
        ! grep -q 'Saved VST3 plugin cache' "$dir/scan.log"; then
        echo "Ardour's VST 3 scanner did not accept the bundle"
        show_log "$dir/scan.log"
        return 1
    fi
    local cache
    cache=$(find "$dir/cache" -name '*.v3i' | head -n 1)
    [[ -n $cache ]] || { echo "the scanner wrote no cache"; return 1; }
    touch -d "@$(($(stat -c %Y "$module") + 1))" "$cache"

    HC_TYPE=VST3 HC_PLUGIN=$cid HC_PROGRAM=$PROGRAM \
        ardour_session "$dir" "$dir/session" "the VST 3 session" 90 || return 1
    grep -E '^(region|plug-in|parameter|program)' "$dir/session.log"
    local automated named
    automated=$(grep -c '^parameter .* automation play$' "$dir/session.log" || true)
    named=$(grep -cE "^program VST3-P:$cid:[0-9]{4} (--- Default ---|Init [0-9]+|[A-Z][A-Za-z0-9 ]+)\$" \
        "$dir/session.log" || true)
    if ((automated != 12 || named != 20)) ||
        ! grep -q "^program VST3-P:$cid:0005 Metal Flange 1\$" "$dir/session.log"; then
        echo "Ardour shows $automated of 12 parameters as automatable and $named of 20 programs by name"
        return 1
    fi

    ardour_export_matches "$dir" "$PROGRAM"
}

# --- LMMS -----------------------------------------------------------------
check_lmms() {
    lmms_renders flanger && lmms_renders flanger-sweep
}

# One plug-in's 32-bit DLL in LMMS: build/windows-x86/$1.dll against the
# Linux build's $1.so. The companion runs with Sweep Shape Off (parameter
# 12), so LMMS loads its eighteen parameters and renders the flanger.
lmms_renders() {
    local name=$1 dir=$WORK/lmms-$1
    mkdir -p "$dir/home" "$dir/work"
    cp "$ROOT/build/windows-x86/$name.dll" "$dir/$name.dll" || return 1
    export HOME=$dir/home WINEPREFIX=$dir/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

    # Every parameter goes into the project as INDEX:NAME:VALUE: factory
    # program 5 with Flanger Depth set. LMMS keeps parameter values to six
    # significant digits and sends them again so; the project and the
    # reference both use them at that precision.
    local so=$ROOT/build/default/$name.so dump params count reference=() shape=()
    [[ $name == flanger-sweep ]] && shape=(--param 12=0)
    dump=$("$CHECK" params "$so" --program "$PROGRAM" --param "0=$DEPTH" "${shape[@]}" --digits 6) ||
        return 1
    count=$(grep -c . <<<"$dump")
    params=$(awk '{ printf "param%d=\"%s\" ", NR - 1, $0 }' <<<"$dump")
    read -r -a reference <<<"$(awk -F: '{ printf "--param %s=%s ", $1, $3 }' <<<"$dump")"
    # 96 ticks per second at 120 beats per minute.
    sed -e "s|@PLUGIN@|$dir/$name.dll|g" -e "s|@INPUT@|$WORK/in.wav|" \
        -e "s|@TICKS@|$((FRAMES * 96 / RATE))|" -e "s|@RATE@|$RATE|" -e "s|@NUMPARAMS@|$count|" \
        -e "s|@PARAMS@|$params|" "$ROOT/tests/hosts/lmms/project.mmp.in" >"$dir/check.mmp"
    sed -e "s|@WORK@|$dir/work/|" "$ROOT/tests/hosts/lmms/lmmsrc.xml.in" >"$dir/lmmsrc.xml"

    local status=0
    run_logged 120 "$dir/lmms.log" xvfb-run -a lmms --allowroot -c "$dir/lmmsrc.xml" render \
        "$dir/check.mmp" -f wav -a -x 1 -s "$RATE" -o "$dir/out.wav" || status=$?
    wineserver -k >/dev/null 2>&1 || true
    # LMMS renders without the effect when the DLL fails to load, and says so.
    if ((status != 0)) || grep -q 'could not be loaded' "$dir/lmms.log" || [[ ! -s $dir/out.wav ]]; then
        echo "LMMS failed (status $status) or could not load $name.dll"
        show_log "$dir/lmms.log"
        return 1
    fi

    # LMMS processes in 256-frame periods and starts the clip on frame 0;
    # its render runs a bar longer than the input. The 32-bit DLL renders
    # exactly what the Linux build does.
    echo "$name.dll with its $count parameters:"
    "$CHECK" render "$so" "$WORK/in.wav" "$dir/ref.wav" --block 256 "${reference[@]}" >/dev/null ||
        return 1
    "$CHECK" compare "$dir/ref.wav" "$dir/out.wav" --expect-offset 0 --tolerance 0
}

# --- Run ------------------------------------------------------------------
failed=()
for host in $HOSTS; do
    say "$host"
    start=$SECONDS
    if (set -euo pipefail; "check_$host"); then
        say "$host passed in $((SECONDS - start)) s"
    else
        say "$host FAILED after $((SECONDS - start)) s"
        failed+=("$host")
    fi
done

if ((${#failed[@]} > 0)); then
    echo "hosts: FAILED: ${failed[*]} (logs above)"
    exit 1
fi
echo "hosts: all checks passed ($HOSTS)"

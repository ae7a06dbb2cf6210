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
#   lmms    LMMS 1.2 (i386) through Wine, the 32-bit DLL with all twelve
#           parameters set in the project, then the companion's DLL with
#           its eighteen (Sweep Shape Off)
#   ardour_sweep  (only when named in HOSTS_ONLY) Ardour 7, the companion's
#           .so: a session at 120 bpm with program 0 (a sine synced to one
#           bar) exported twice from the start, and a session whose range
#           starts at bar 3, each against flanger-render --tempo 120 with the
#           same program. The two exports agree bit for bit; against the
#           tool they differ where the sweep's delay steps: Ardour 7.3's
#           export reports positions that do not follow the exported frames
#           one to one (its first rolling block says frame 0, the next 256,
#           then 1024 on per block) and quarter notes cut to 1/1920 of a
#           beat, so the sweep follows Ardour's timeline, not the file's.
# Every host runs with a time-out; one that fails, crashes or hangs fails
# the check with its log printed, and the remaining hosts still run. (The
# host functions run inside an if, where errexit does not apply: each step
# checks its own status.)
# Installs what it needs from Debian when missing. HOSTS_ONLY="ardour ardour_lv2 ardour_vst3 lmms"
# picks hosts; HOSTS_KEEP=1 keeps the work folder.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/flanger-hosts.XXXXXX)
HOSTS=${HOSTS_ONLY:-ardour ardour_lv2 ardour_vst3 lmms}
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
    flanger-render host-check >/dev/null
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

    if ! HC_DIR=$dir/session HC_NAME=check HC_INPUT=$WORK/in.wav HC_FRAMES=$FRAMES \
        HC_RATE=$RATE HC_PLUGIN=$dir/plugin/flanger.so HC_PROGRAM=$PROGRAM HC_DEPTH=$DEPTH \
        run_logged 60 "$dir/session.log" ardour7-lua "$ROOT/tests/hosts/ardour/make-session.lua" ||
        ! grep -q '^session ready' "$dir/session.log"; then
        echo "Ardour's session tool could not build the session"
        show_log "$dir/session.log"
        return 1
    fi
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

# Exports the session in $1 and compares it, offset 0 and tolerance 0, with
# the VST 2 build's out-of-place render of program $2 at the session's depth.
# Ardour processes in 1024-frame blocks and the plug-in reports no latency,
# so the export lines up with the input frame for frame (for LV2 too,
# whatever buffers Ardour hands it).
ardour_export_matches() {
    local dir=$1 program=$2
    # The exporter sometimes aborts or hangs with any plug-in: three tries.
    local try ok=0
    for try in 1 2 3; do
        rm -f "$dir/out.wav"
        if run_logged 60 "$dir/export.log" ardour7-export -b float -o "$dir/out.wav" \
            "$dir/session" check && [[ -s $dir/out.wav ]]; then
            ok=1
            break
        fi
        echo "ardour7-export failed, crashed or hung (try $try of 3)"
        show_log "$dir/export.log"
    done
    ((ok == 1)) || return 1
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

    if ! HC_TYPE=LV2 HC_DIR=$dir/session HC_NAME=check HC_INPUT=$WORK/in.wav HC_FRAMES=$FRAMES \
        HC_RATE=$RATE HC_PLUGIN=$uri HC_PRESET=$label HC_DEPTH=$DEPTH \
        run_logged 60 "$dir/session.log" ardour7-lua "$ROOT/tests/hosts/ardour/make-session.lua" ||
        ! grep -q '^session ready' "$dir/session.log"; then
        echo "Ardour's session tool could not build the LV2 session"
        show_log "$dir/session.log"
        return 1
    fi
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
check_ardour_sweep() {
    local dir=$WORK/ardour-sweep program=0 bar3=$((4 * RATE))  # bar 3 at 120 bpm in 4/4: 4 s
    local so=$dir/plugin/flanger-sweep.so tool=$ROOT/build/default/host/flanger-render
    mkdir -p "$dir/plugin" "$dir/config" "$dir/cache"
    cp "$ROOT/build/default/flanger-sweep.so" "$so" || return 1
    export XDG_CONFIG_HOME=$dir/config XDG_CACHE_HOME=$dir/cache LXVST_PATH=$dir/plugin
    if ! LD_LIBRARY_PATH=/usr/lib/ardour7 run_logged 30 "$dir/scan.log" \
        /usr/lib/ardour7/ardour-vst-scanner -f "$so" ||
        ! grep -q 'Saved VST2 plugin cache' "$dir/scan.log"; then
        echo "Ardour's scanner did not accept the companion"
        show_log "$dir/scan.log"
        return 1
    fi
    touch -d "@$(($(stat -c %Y "$so") + 1))" "$(find "$dir/cache" -name '*.v2i' | head -n 1)"

    # Sessions from the timeline's start and from bar 3, each exported; the
    # first twice.
    local start try
    for start in 0 "$bar3"; do
        if ! HC_DIR=$dir/session-$start HC_NAME=check HC_INPUT=$WORK/in.wav HC_FRAMES=$FRAMES \
            HC_RATE=$RATE HC_PLUGIN=$so HC_PROGRAM=$program HC_DEPTH=$DEPTH HC_START=$start \
            run_logged 60 "$dir/session-$start.log" ardour7-lua \
            "$ROOT/tests/hosts/ardour/make-session.lua" ||
            ! grep -q '^session ready' "$dir/session-$start.log"; then
            echo "Ardour's session tool could not build the companion's session at frame $start"
            show_log "$dir/session-$start.log"
            return 1
        fi
        grep -E '^(region|plug-in)' "$dir/session-$start.log"
        for try in a b; do
            [[ $start != 0 && $try == b ]] && continue
            local ok=0 attempt
            for attempt in 1 2 3; do
                rm -f "$dir/out-$start$try.wav"
                if run_logged 60 "$dir/export.log" ardour7-export -b float \
                    -o "$dir/out-$start$try.wav" "$dir/session-$start" check &&
                    [[ -s $dir/out-$start$try.wav ]]; then
                    ok=1
                    break
                fi
                echo "ardour7-export failed, crashed or hung (try $attempt of 3)"
                show_log "$dir/export.log"
            done
            ((ok == 1)) || return 1
        done
    done
    # The references: the tool as a timeline host at 120 bpm, in Ardour's
    # 1024-frame blocks; for bar 3 the signal after 4 s of silence, compared
    # from there.
    "$CHECK" signal "$dir/lead.wav" --lead "$bar3" >/dev/null || return 1
    "$tool" -q --float --plugin "$so" --program "$program" --tempo 120 --block 1024 \
        "$WORK/in.wav" "$dir/ref-0.wav" || return 1
    "$tool" -q --float --plugin "$so" --program "$program" --tempo 120 --block 1024 \
        "$dir/lead.wav" "$dir/ref-$bar3.wav" || return 1
    echo "from the start:" && "$CHECK" compare "$dir/ref-0.wav" "$dir/out-0a.wav" \
        --expect-offset 0 --tolerance 0 || return 1
    echo "the same export again:" && "$CHECK" compare "$dir/out-0a.wav" "$dir/out-0b.wav" \
        --expect-offset 0 --tolerance 0 || return 1
    echo "from bar 3:" && "$CHECK" compare "$dir/ref-$bar3.wav" "$dir/out-${bar3}a.wav" \
        --skip-ref "$bar3" --expect-offset 0 --tolerance 0
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

    if ! HC_TYPE=VST3 HC_DIR=$dir/session HC_NAME=check HC_INPUT=$WORK/in.wav HC_FRAMES=$FRAMES \
        HC_RATE=$RATE HC_PLUGIN=$cid HC_PROGRAM=$PROGRAM HC_DEPTH=$DEPTH \
        run_logged 90 "$dir/session.log" ardour7-lua "$ROOT/tests/hosts/ardour/make-session.lua" ||
        ! grep -q '^session ready' "$dir/session.log"; then
        echo "Ardour's session tool could not build the VST 3 session"
        show_log "$dir/session.log"
        return 1
    fi
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

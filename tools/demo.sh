#!/usr/bin/env bash
# The demo: Vorlinex relaying between two simulated serial devices, no hardware needed.
#
#   bash tools/demo.sh [--offscreen]
#
# Installs what is missing, builds, makes a demo folder with its own Vorlinex.ini (COM1 and COM2
# mapped to two pseudo-terminals, never the machine's serial ports) and the help page, starts the
# simulated host (device A, COM1) and instrument (device B, COM2), and then
#   - with a display ($DISPLAY or $WAYLAND_DISPLAY): runs the program for you until you close it;
#   - without one (or with --offscreen): runs it offscreen for about 15 seconds, opens both
#     display windows, both captures, the combined one and a frame log, and takes screenshots.
# Screenshots, capture logs and the devices' report stay in demo-out/<time>/, which it names.
# Set VORLINEX_BUILD_DIR to build elsewhere than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

offscreen=0
case "${1:-}" in
    --offscreen) offscreen=1 ;;
    "") ;;
    *) echo "usage: bash tools/demo.sh [--offscreen]" >&2; exit 2 ;;
esac
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then offscreen=1; fi

bash tools/install-deps.sh
build=${VORLINEX_BUILD_DIR:-build}
echo "== building in $build/"
bash tools/build.sh "$build"
build=$(cd "$build" && pwd)

# The output folder stays; the demo folder (INI, help page, device names) goes at the end.
stamp=$(date +%Y%m%d-%H%M%S)
out=$root/demo-out/$stamp
n=1
while [ -e "$out" ]; do out=$root/demo-out/$stamp-$n; n=$((n + 1)); done
mkdir -p "$out"
demo=$(mktemp -d /tmp/vorlinex-demo-XXXXXX)

sim_pid=""
program_pid=""
# Anything the user captured into the demo folder stays with the results.
keep_user_files() {
    find "$demo" -maxdepth 1 -type f ! -name Vorlinex.ini ! -name Vorlinex.html ! -name devices.txt \
        ! -name devices-window.png ! -name timeline-window.png ! -name timeline-frames.png -exec cp -n {} "$out/" \;
}
cleanup() {
    [ -n "$program_pid" ] && kill -TERM "$program_pid" 2>/dev/null && wait "$program_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    keep_user_files
    rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -f docs/Vorlinex.html ]; then
    cp docs/Vorlinex.html docs/*.png "$demo/"
else
    echo "note: docs/Vorlinex.html is missing; HELP will report that it cannot find the page"
fi

# The devices end with this script at the latest, even if it is killed outright.
"$build/sim_devices" "$demo" --until-pid $$ >"$out/devices.txt" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    [ -f "$demo/devices.txt" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if [ ! -f "$demo/devices.txt" ]; then
    echo "the simulated devices did not start:" >&2
    cat "$out/devices.txt" >&2
    exit 1
fi
cat "$out/devices.txt"
cp "$demo/Vorlinex.ini" "$out/Vorlinex.ini"

status=0
run_offscreen() {
    echo "== running Vorlinex offscreen for about 15 seconds"
    (cd "$demo" && exec "$build/demo_driver" "$out" --seconds 15) &
    program_pid=$!
    wait "$program_pid" || status=$?
    program_pid=""
}

if [ "$offscreen" -eq 1 ]; then
    run_offscreen
else
    echo "== Vorlinex is running in its window; close it (END, Esc or the close box) to end the demo"
    started=$SECONDS
    (cd "$demo" && exec "$build/vorlinex") &
    program_pid=$!
    wait "$program_pid" || status=$?
    program_pid=""
    if [ "$status" -ne 0 ] && [ $((SECONDS - started)) -lt 5 ]; then
        echo "Vorlinex could not open a window on this display (exit code $status); running offscreen instead"
        status=0
        run_offscreen
    fi
    keep_user_files
fi

kill -TERM "$sim_pid" 2>/dev/null || true
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=""
echo "== the devices' report"
tail -n 3 "$out/devices.txt"
# Offscreen nothing restarts the ports, so every byte must have arrived; by hand a restart in
# the serial dialog may leave bytes in a closed port's queue, and the report says so.
if [ "$sim_status" -ne 0 ] && [ "$offscreen" -eq 1 ]; then status=1; fi

# Both directions must be in the captures: the host's commands in channel 1's, the
# instrument's answers in channel 2's.
check_capture() {
    local file=$1 what=$2 pattern=$3
    if [ ! -f "$out/$file" ]; then
        # By hand, capturing is the user's choice; offscreen it must have happened.
        if [ "$offscreen" -eq 1 ]; then
            echo "capture check: $file missing" >&2
            status=1
        fi
        return 0
    fi
    if LC_ALL=C grep -aq -- "$pattern" "$out/$file"; then
        echo "capture check: $file holds $what ($(stat -c %s "$out/$file") bytes)"
    else
        echo "capture check: $file lacks $what" >&2
        status=1
    fi
}
check_capture channel1.log "the host's commands (COM1 -> COM2)" "MEAS?"
check_capture channel1.log "the host's Japanese text in Shift-JIS" $'\x89\xb7\x93\x78'      # 温度
check_capture channel2.log "the instrument's answers (COM2 -> COM1)" " C"$'\r'
check_capture channel2.log "the instrument's Japanese answers" $'\x89\xd2\x93\xad\x92\x86'  # 稼働中
# The combined capture: both directions as text records, the host's command in the text column.
check_capture combined.log "records of the host's commands (1>2)" " 1>2  "
check_capture combined.log "records of the instrument's answers (2>1)" " 2>1  "
check_capture combined.log "the host's commands as text" "MEAS?"

# The frame log holds the devices' Modbus run read as frames: every 20th frame on the line went
# out with a bad CRC, so about one in twenty shows as such, and every request has its answer
# (a damaged one too) with no timeout. The text around the run is noise to Modbus, left out.
check_frames() {
    local file=$out/frames.log
    if [ ! -f "$file" ]; then
        if [ "$offscreen" -eq 1 ]; then
            echo "frames check: frames.log missing" >&2
            status=1
        fi
        return 0
    fi
    local frames bad requests answers timeouts
    read -r frames bad requests answers timeouts < <(LC_ALL=C awk '
        {
            verdict = $0
            sub(/.*\|  \[/, "", verdict)
            sub(/\].*/, "", verdict)
        }
        verdict == "noise" { next }
        verdict == "timeout" { timeouts++; next }
        { frames++ }
        verdict == "bad crc" { bad++ }
        $4 == "1>2" && verdict == "ok" { requests++ }
        /, answer after [0-9.]+ ms$/ { answers++ }
        END { print frames + 0, bad + 0, requests + 0, answers + 0, timeouts + 0 }' "$file")
    echo "frames check: frames.log holds $frames Modbus frames, $bad with a bad CRC, $requests requests," \
        "$answers answers, $timeouts timeouts"
    if [ "$frames" -lt 20 ] || [ "$bad" -lt 1 ] || [ $((frames - 20 * bad)) -gt 20 ] ||
        [ $((20 * bad - frames)) -gt 20 ]; then
        echo "frames check: not about one bad CRC in twenty frames" >&2
        status=1
    fi
    if [ "$answers" -ne "$requests" ] || [ "$timeouts" -ne 0 ]; then
        echo "frames check: a request without its answer" >&2
        status=1
    fi
}
check_frames

echo "== the demo's results are in $out"
ls -l "$out"
exit "$status"

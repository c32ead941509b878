#!/usr/bin/env bash
# Runs the whole plain suite (CTest on the plain build) N times in a row, 5 unless told, as
# tools/test.sh runs it, on a machine made busy the way a shared one is: two CPU-bound loops, and
# a process that holds several pseudo-terminals of the machine (locked, one as a session's
# terminal) and, as root, the same numbers of a devpts instance of its own, as a container's
# programs do. Reports each run; the load stops with the script, and by itself if the script is
# killed. Build the plain folder first (tools/build.sh build).
#   tools/busy-test.sh [N] [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
dir=${2:-build}
[ -f "$dir/CTestTestfile.cmake" ] || { echo "no plain build in $dir: run tools/build.sh $dir first" >&2; exit 2; }
export QT_QPA_PLATFORM=offscreen
source tools/isolation.sh

script=$$
load=()
stop_load() {
    for pid in "${load[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${load[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_load EXIT

# Each piece of load ends when this script has gone (asked between steps), or after a day at most.
for _ in 1 2; do
    (deadline=$((SECONDS + 86400)); while kill -0 "$script" 2>/dev/null && [ $SECONDS -lt $deadline ]; do :; done) &
    load+=($!)
done
hold_ptys='
import fcntl, os, sys, time
script, count = int(sys.argv[1]), int(sys.argv[2])
held = [os.openpty() for _ in range(count)]
for master, slave in held:
    fcntl.flock(slave, fcntl.LOCK_EX | fcntl.LOCK_NB)
try:  # the last one becomes this session'"'"'s terminal, as a shell'"'"'s is
    os.setsid()
    os.close(os.open(os.ttyname(held[-1][1]), os.O_RDWR))
except OSError:
    pass
print("holding " + " ".join(os.ttyname(slave) for _, slave in held), flush=True)
deadline = time.monotonic() + 86400
while time.monotonic() < deadline:
    try:
        os.kill(script, 0)
    except ProcessLookupError:
        break
    time.sleep(1)
'
python3 -c "$hold_ptys" "$script" 8 &
load+=($!)
if [ "$(id -u)" -eq 0 ]; then
    unshare --mount --propagation private -- sh -c "$private_pts"' && exec "$@"' holder python3 -c "$hold_ptys" "$script" 8 &
    load+=($!)
fi

failed=0
for run in $(seq 1 "$runs"); do
    start=$SECONDS
    log=$(mktemp)
    if isolated ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" >"$log" 2>&1; then
        echo "== run $run of $runs: passed in $((SECONDS - start)) s ($(grep -o '[0-9]*% tests passed.*' "$log" | head -1))"
    else
        failed=$((failed + 1))
        echo "== run $run of $runs: FAILED after $((SECONDS - start)) s"
        cat "$log"
    fi
    rm -f "$log"
done
echo "== $failed of $runs runs failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang and runs each for a bounded time from
# a copy of its committed seed corpus; a crash or a violated invariant fails the run.
# tools/fuzz.sh [seconds per harness, default 60]; as many harnesses run at once as there are cores
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

CC=clang CXX=clang++ bash tools/build.sh build-fuzz -DVORLINEX_FUZZ=ON -DVORLINEX_WITH_QT=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo

# On a memory file system where there is one: the INI harness saves (and syncs) every input.
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
# As many harnesses at once as there are cores: each runs its full time, the stage takes a share.
run_one() {
    local name=$1
    mkdir -p "$work/$name-artifacts"
    "build-fuzz/$name" -max_total_time="$seconds" -seed=1 -max_len=8192 -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$name-artifacts/" \
        "$work/$name" >"$work/$name.log" 2>&1
}
report_failure() {
    local name=$1
    tail -n 60 "$work/$name.log"
    for input in "$work/$name-artifacts"/*; do
        [ -e "$input" ] && { echo "failing input of $name (base64):"; base64 "$input"; }
    done
}
names=()
for seeds in tests/fuzz/corpus/*/; do
    name=$(basename "$seeds")
    cp -r "$seeds" "$work/$name"
    names+=("$name")
done
parallel=$(nproc)
failed=()
declare -A running=()
for name in "${names[@]}"; do
    while [ "${#running[@]}" -ge "$parallel" ]; do
        wait -n || true
        for pid in "${!running[@]}"; do
            if ! kill -0 "$pid" 2>/dev/null; then
                wait "$pid" || failed+=("${running[$pid]}")
                unset "running[$pid]"
            fi
        done
    done
    echo "-- $name: ${seconds}s"
    run_one "$name" &
    running[$!]=$name
done
for pid in "${!running[@]}"; do
    wait "$pid" || failed+=("${running[$pid]}")
done
for name in "${names[@]}"; do
    echo "-- $name:"
    grep -E '^stat::number_of_executed_units|^Done' "$work/$name.log" || true
done
if [ "${#failed[@]}" -gt 0 ]; then
    for name in "${failed[@]}"; do echo "== $name failed"; report_failure "$name"; done
    exit 1
fi

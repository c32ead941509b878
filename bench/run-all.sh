#!/bin/sh
# Runs every benchmark of a build folder with its defaults, one after the other.
#   bench/run-all.sh [build-folder]        (default: build)
set -u
build=${1:-build}
status=0
for b in bench_relay_engine bench_network bench_program bench_throughput bench_restart bench_serial_restart bench_render bench_timeline bench_display_cycles bench_soak bench_headless; do
    if [ ! -x "$build/$b" ]; then
        echo "== $b: not built in $build"
        status=1
        continue
    fi
    echo "== $b ($(date -u '+%Y-%m-%d %H:%M:%S UTC'), load $(cut -d' ' -f1-3 /proc/loadavg))"
    if [ "$b" = bench_program ]; then
        "$build/$b" "$build/vorlinex" || status=1
    else
        "$build/$b" || status=1
    fi
    echo
done
exit $status

#!/usr/bin/env bash
# Installs what is missing, checks the include layering, builds, and runs the whole test suite
# with CTest: the plain build and the offscreen demo, then every test again under AddressSanitizer +
# UndefinedBehaviorSanitizer, then the tests that need no window under ThreadSanitizer (Qt
# itself is not instrumented), then each libFuzzer harness for about a minute; last, builds the
# Debian package and checks it unpacked into a scratch root (no system install). The test
# programs and the demo get a private /dev/pts and /proc where this runs as root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The test programs and the demo run in namespaces of their own: a devpts instance of their own,
# so that their pseudo-terminals are numbered from 0 apart from the machine's and another process
# that holds or locks a pty number cannot disturb a test that reopens one; and a process number
# space with its own /proc, so that a search for who holds a device sees only the tests' own
# processes, never a program elsewhere on the machine. A shell stays process 1 there and reaps
# what is left to it. Only root may make them; elsewhere they share the machine's, and this says so.
source tools/isolation.sh

echo "== include layering"
bash tools/check_layers.sh

echo "== plain build"
bash tools/build.sh build
isolated ctest --test-dir build --output-on-failure -j "$jobs"

# The demo checks what its simulated devices and its captures got, so it runs here too.
echo "== the demo, offscreen"
VORLINEX_BUILD_DIR=build isolated bash tools/demo.sh --offscreen

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
bash tools/build.sh build-asan -DVORLINEX_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DVORLINEX_TOOLS=OFF
isolated ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (no windows)"
bash tools/build.sh build-tsan -DVORLINEX_SANITIZE=thread -DVORLINEX_WITH_QT=OFF -DCMAKE_BUILD_TYPE=Debug \
    -DVORLINEX_TOOLS=OFF
isolated ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L core

echo "== libFuzzer harnesses (clang)"
bash tools/fuzz.sh 30

echo "== Debian package"
bash tools/package.sh
bash tests/package/check_package.sh build-package/vorlinex_*.deb build/packaging/test_package

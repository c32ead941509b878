#!/usr/bin/env bash
# The Windows build, made on Debian: installs what is missing, cross-builds Qt (once, into a cache
# folder outside the tree) and GoogleTest with mingw-w64, then the program, its tests, an NSIS
# installer and a portable zip in build-windows/. With --test, also runs the Windows tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

QT_VERSION=6.4.2
VERSION=1.01a
CACHE=${VORLINEX_WIN_CACHE:-/var/cache/vorlinex}
export VORLINEX_WIN_CACHE=$CACHE
QT_PREFIX=$CACHE/qt-$QT_VERSION-mingw
GTEST_PREFIX=$CACHE/gtest-mingw
BUILD=$root/build-windows
TOOLCHAIN=$root/tools/windows/mingw-toolchain.cmake
JOBS=${JOBS:-$(nproc)}
run_tests=0
case "${1:-}" in
    "") ;;
    --test) run_tests=1 ;;
    *) echo "usage: bash tools/windows.sh [--test]" >&2; exit 2 ;;
esac

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

install_packages() {
    local packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                    mingw-w64-x86-64-dev wine wine64 nsis zip unzip cmake ninja-build perl python3 dpkg-dev
                    qt6-base-dev qt6-base-dev-tools libgtest-dev googletest xvfb xauth socat)
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Debian's own qtbase source, the same version as the host tools it is built with. The deb-src
# line is added only for the download and taken away again.
fetch_qt_source() {
    local dest=$1
    local list=/etc/apt/sources.list.d/vorlinex-qt-src.sources
    $SUDO tee "$list" >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    $SUDO apt-get update -qq
    # The host tools' exact Debian version, so that both halves carry the same patches.
    local version ok=0
    version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
    (cd "$dest" && apt-get source -qq "qt6-base=$version") && ok=1
    $SUDO rm -f "$list"
    $SUDO apt-get update -qq || true
    [ $ok -eq 1 ] || { echo "could not fetch the qt6-base source" >&2; exit 1; }
}

build_qt() {
    if [ -f "$QT_PREFIX/lib/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake" ]; then
        echo "Qt for Windows: $QT_PREFIX (cached)"
        return 0
    fi
    $SUDO mkdir -p "$CACHE"
    $SUDO chown "$(id -u):$(id -g)" "$CACHE"
    local work
    work=$(mktemp -d "$CACHE/qt-build.XXXXXX")
    fetch_qt_source "$work"
    local src
    src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -1)
    mkdir -p "$work/build"
    echo "Cross-building Qt $QT_VERSION (Core, Gui, Widgets) for Windows into $QT_PREFIX"
    (cd "$work/build" && "$src/configure" -prefix "$QT_PREFIX" -release -shared \
        -xplatform win32-g++ -qt-host-path /usr \
        -nomake examples -nomake tests -no-feature-tabletevent \
        -no-feature-sql -no-feature-network -no-feature-testlib -no-feature-xml \
        -no-feature-printsupport -no-feature-concurrent -no-feature-dbus -no-opengl \
        -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-pcre -qt-harfbuzz -no-icu \
        -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_CROSSCOMPILING_EMULATOR="" ) > "$work/configure.log" 2>&1 \
        || { tail -40 "$work/configure.log" >&2; exit 1; }
    (cd "$work/build" && cmake --build . --parallel "$JOBS" && cmake --install .) > "$work/build.log" 2>&1 \
        || { tail -40 "$work/build.log" >&2; exit 1; }
    rm -rf "$work"
}

# GoogleTest from Debian's own source (libgtest-dev), built with the same cross compiler.
build_gtest() {
    if [ -f "$GTEST_PREFIX/lib/cmake/GTest/GTestConfig.cmake" ]; then
        echo "GoogleTest for Windows: $GTEST_PREFIX (cached)"
        return 0
    fi
    $SUDO mkdir -p "$CACHE"
    $SUDO chown "$(id -u):$(id -g)" "$CACHE"
    local work
    work=$(mktemp -d "$CACHE/gtest-build.XXXXXX")
    cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$GTEST_PREFIX" -DCMAKE_CROSSCOMPILING_EMULATOR="" \
        > "$work/configure.log" 2>&1 || { tail -40 "$work/configure.log" >&2; exit 1; }
    (cmake --build "$work" --parallel "$JOBS" && cmake --install "$work") > "$work/build.log" 2>&1 \
        || { tail -40 "$work/build.log" >&2; exit 1; }
    rm -rf "$work"
}

source "$root/tools/windows/package.sh"
source "$root/tools/windows/wine_tests.sh"

main() {
    install_packages
    build_qt
    build_gtest
    build_program
    make_packages
    if [ $run_tests -eq 1 ]; then
        run_wine_tests
    fi
}

main "$@"

# The Windows program and its tests built in build-windows/, then the installer and the portable
# zip made from one staged folder. Sourced by tools/windows.sh, which sets root, BUILD, CACHE,
# QT_PREFIX, TOOLCHAIN, JOBS and VERSION.

MINGW=x86_64-w64-mingw32
STAGE=$BUILD/stage/Vorlinex-$VERSION
SETUP=$BUILD/Vorlinex-$VERSION-setup.exe
ZIP=$BUILD/Vorlinex-$VERSION-win64.zip

build_program() {
    echo "== Windows build in $BUILD"
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S "$root" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" > "$BUILD.configure.log" 2>&1 \
        || { tail -40 "$BUILD.configure.log" >&2; exit 1; }
    mv "$BUILD.configure.log" "$BUILD/configure.log"
    ninja -C "$BUILD" -j "$JOBS"
    # The test programs and the program run from the build folder under Wine: Qt's DLLs and
    # plugins beside them, as they are beside the installed program.
    deploy_runtime "$BUILD" "$BUILD"/*.exe
    copy_qt_plugins "$BUILD"
    copy_plugin "$BUILD" platforms qoffscreen
}

# The DLLs that PE files need from Qt or the compiler, found by reading their import tables,
# then what those need in turn. Windows' own DLLs are not among the searched folders.
dll_search_path() {
    echo "$QT_PREFIX/bin"
    local name path
    for name in libstdc++-6.dll libwinpthread-1.dll; do
        path=$($MINGW-g++-posix -print-file-name=$name)
        # The bare name comes back when the compiler has no such file.
        [ "${path#/}" != "$path" ] && dirname "$path"
    done
    return 0
}

imported_dlls() {
    $MINGW-objdump -p "$@" 2>/dev/null | sed -n 's/^\s*DLL Name: //p' | sort -fu
}

deploy_runtime() {
    local dest=$1
    shift
    local queue=("$@") searched=() done_list=" "
    mapfile -t searched < <(dll_search_path)
    while [ ${#queue[@]} -gt 0 ]; do
        local file=${queue[0]}
        queue=("${queue[@]:1}")
        local dll
        while read -r dll; do
            [ -n "$dll" ] || continue
            local key=${dll,,}
            case "$done_list" in *" $key "*) continue ;; esac
            done_list+="$key "
            local dir found=""
            for dir in "${searched[@]}"; do
                found=$(find "$dir" -maxdepth 1 -iname "$dll" -print -quit 2>/dev/null)
                [ -n "$found" ] && break
            done
            [ -n "$found" ] || continue  # a DLL of Windows itself
            cp -p "$found" "$dest/"
            queue+=("$found")
        done < <(imported_dlls "$file")
    done
}

# One Qt plugin into <dest>/<kind>/, with whatever it needs beside the program.
copy_plugin() {
    local dest=$1 kind=$2 name=$3
    local plugin=$QT_PREFIX/plugins/$kind/$name.dll
    [ -f "$plugin" ] || { echo "missing Qt plugin $plugin" >&2; exit 1; }
    mkdir -p "$dest/$kind"
    cp -p "$plugin" "$dest/$kind/"
    deploy_runtime "$dest" "$plugin"
}

# The plugins the program loads on Windows: the platform and the native styles.
copy_qt_plugins() {
    local dest=$1 style
    copy_plugin "$dest" platforms qwindows
    for style in "$QT_PREFIX"/plugins/styles/*.dll; do
        [ -f "$style" ] && copy_plugin "$dest" styles "$(basename "$style" .dll)"
    done
    return 0
}

stage_program() {
    rm -rf "$BUILD/stage"
    mkdir -p "$STAGE"
    cp -p "$BUILD/vorlinex.exe" "$STAGE/"
    deploy_runtime "$STAGE" "$STAGE/vorlinex.exe"
    copy_qt_plugins "$STAGE"
    cp -p "$root/docs/Vorlinex.html" "$root"/docs/*.png "$STAGE/"
    # Notices in Windows' line ends: this program's, and Qt's (the LGPL asks for it beside its DLLs).
    sed 's/$/\r/' "$root/packaging/copyright" > "$STAGE/copyright.txt"
    if [ -f /usr/share/doc/qt6-base-dev/copyright ]; then
        sed 's/$/\r/' /usr/share/doc/qt6-base-dev/copyright > "$STAGE/Qt-copyright.txt"
    fi
    find "$STAGE" -iname '*.exe' -o -iname '*.dll' | xargs $MINGW-strip --strip-unneeded
}

# What the installer and the zip must hold, relative to the program's folder.
required_files=(vorlinex.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll platforms/qwindows.dll
                Vorlinex.html copyright.txt)

# The uninstaller removes exactly what the installer put there, so that a folder the user chose
# keeps what else it holds.
write_uninstall_list() {
    local list=$1
    (cd "$STAGE" && find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
     cd "$STAGE" && find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|') > "$list"
}

make_packages() {
    echo "== Windows installer and zip"
    stage_program
    local missing=0 file
    for file in "${required_files[@]}"; do
        [ -f "$STAGE/$file" ] || { echo "not staged: $file" >&2; missing=1; }
    done
    [ $missing -eq 0 ] || exit 1

    local list=$BUILD/stage/uninstall-files.nsh
    write_uninstall_list "$list"
    rm -f "$SETUP"
    makensis -V2 -DVERSION="$VERSION" -DSTAGE="$STAGE" -DOUTFILE="$SETUP" -DUNINSTALL_LIST="$list" \
        "$root/packaging/windows/vorlinex.nsi" || { echo "makensis failed" >&2; exit 1; }
    [ -s "$SETUP" ] || { echo "makensis made no $SETUP" >&2; exit 1; }

    rm -f "$ZIP"
    (cd "$BUILD/stage" && zip -qr -X "$ZIP" "Vorlinex-$VERSION")
    local listing
    listing=$(unzip -Z1 "$ZIP")
    for file in "${required_files[@]}"; do
        grep -qxF "Vorlinex-$VERSION/$file" <<<"$listing" || { echo "not in the zip: $file" >&2; missing=1; }
    done
    [ $missing -eq 0 ] || exit 1
    echo "made $SETUP ($(du -h "$SETUP" | cut -f1)) and $ZIP ($(du -h "$ZIP" | cut -f1))"
}

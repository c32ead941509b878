# The Windows test programs under Wine, on serial cables made here on the Linux side. Sourced by
# tools/windows.sh (root, BUILD, SETUP, STAGE, VERSION are set).
#
# Cable k (1..CABLES) is two pseudo-terminals joined by pty_cable.py, each direction on its own as
# on a real line; Wine's registry maps the program's
# end as COMk and the far end as COM(10+k), and VORLINEX_WINE_CABLES tells the tests how many
# there are. Wine runs in a prefix of its own under build-windows/, on an Xvfb display of its own.

CABLES=4
WINE_DIR=$BUILD/wine-run
# The windowless programs first, then those with windows.
WINE_TEST_PROGRAMS=(test_relay test_record test_decode test_capture test_settings test_display test_shell)
# A test program that runs longer than this has hung.
WINE_TEST_TIMEOUT=${WINE_TEST_TIMEOUT:-600}

wine_pids=()
wine_cleanup() {
    local status=$?
    set +e
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null
        wineserver -w 2>/dev/null
    fi
    local pid
    for pid in "${wine_pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    wine_pids=()
    return $status
}

start_xvfb() {
    local fifo=$WINE_DIR/xvfb-display
    rm -f "$fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >"$WINE_DIR/xvfb.log" 2>&1 &
    wine_pids+=($!)
    local display
    read -r -t 30 display <"$fifo" || { echo "Xvfb did not start (see $WINE_DIR/xvfb.log)" >&2; return 1; }
    rm -f "$fifo"
    export DISPLAY=:$display
    echo "Xvfb on $DISPLAY"
}

# Waits for both links of a cable; cable_near and cable_far are their /dev/pts paths.
start_cable() {
    local k=$1 near=$WINE_DIR/cable$1-program far=$WINE_DIR/cable$1-far
    rm -f "$near" "$far"
    python3 "$root/tools/windows/pty_cable.py" "$near" "$far" </dev/null >/dev/null 2>"$WINE_DIR/cable$k.log" &
    wine_pids+=($!)
    local tries=0
    while ! { [ -L "$near" ] && [ -L "$far" ]; }; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { echo "no cable $k (see $WINE_DIR/cable$k.log)" >&2; return 1; }
        sleep 0.1
    done
    cable_near=$(readlink -f "$near")
    cable_far=$(readlink -f "$far")
}

setup_wine() {
    export WINEPREFIX=$BUILD/wine
    export WINEARCH=win64
    export WINEDEBUG=-all
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Making the Wine prefix $WINEPREFIX (once)"
        # No Mono or Gecko: nothing here needs .NET or a browser, and their prompts would wait.
        WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot --init >"$WINE_DIR/wineboot.log" 2>&1 \
            || { tail -20 "$WINE_DIR/wineboot.log" >&2; return 1; }
        wineserver -w
    fi
    local reg=$WINE_DIR/ports.reg k
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n' >"$reg"
    for k in $(seq 1 $CABLES); do
        start_cable "$k"
        printf '"COM%d"="%s"\r\n"COM%d"="%s"\r\n' "$k" "$cable_near" $((10 + k)) "$cable_far" >>"$reg"
        echo "cable $k: COM$k = $cable_near, COM$((10 + k)) = $cable_far"
    done
    # Once more when Wine's server was still going down from an earlier run.
    local windows_reg tries=0
    windows_reg=$(winepath -w "$reg")
    until wine regedit /S "$windows_reg" >>"$WINE_DIR/regedit.log" 2>&1; do
        tries=$((tries + 1))
        [ $tries -lt 3 ] || { echo "could not write Wine's port map (see $WINE_DIR/regedit.log)" >&2; return 1; }
        wineserver -w
        sleep 1
    done
    # Wine reads the port map when its server starts.
    wineserver -k 2>/dev/null || true
    wineserver -w
    export VORLINEX_WINE_CABLES=$CABLES
}

# Runs one test program and prints one line: its name and what GoogleTest counted.
passed_programs=()
failed_programs=()
run_wine_program() {
    local name=$1
    shift
    local log=$WINE_DIR/$name.log status=0
    (cd "$BUILD" && timeout -k 10 "$WINE_TEST_TIMEOUT" wine "$name.exe" "$@") >"$log" 2>&1 || status=$?
    sed -i 's/\r$//' "$log"
    # Whatever the program left running in Wine goes with it.
    if [ $status -ne 0 ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w
    fi
    local passed skipped failed
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
    skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
    failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
    # A seed replay is no GoogleTest program: its exit status alone tells.
    local counts="exit status $status"
    grep -q '^\[==========\] .* ran\.' "$log" && counts="passed ${passed:-0}, failed ${failed:-0}, skipped ${skipped:-0}"
    if [ $status -eq 0 ]; then
        printf '%-28s PASSED  (%s)\n' "$name" "$counts"
        passed_programs+=("$name")
    else
        local why="exit status $status"
        [ $status -eq 124 ] && why="hung, stopped after $WINE_TEST_TIMEOUT s"
        printf '%-28s FAILED  (%s; %s; log %s)\n' "$name" "$counts" "$why" "$log"
        failed_programs+=("$name")
        sed -n '/^\[  FAILED  \]/p; /Failure$/,+3p' "$log" | head -40 | sed 's/^/    /'
    fi
    # Each skipped case with the reason it gave.
    awk '/^\[ RUN      \]/ { reason = ""; inskip = 0; next }
         /: Skipped$/ { inskip = 1; next }
         inskip && /^\[/ { inskip = 0 }
         inskip && NF { reason = reason (reason == "" ? "" : " ") $0 }
         /^\[  SKIPPED \] [^0-9]/ && / \([0-9]+ ms\)$/ {
             sub(/^\[  SKIPPED \] /, ""); sub(/ \([0-9]+ ms\)$/, "")
             print "    skipped " $0 (reason == "" ? "" : ": " reason) }' "$log"
}

# The installer, installed silently into the Wine prefix and uninstalled again: the files, the
# Start menu entry and the uninstall entry must come and go.
check_installer() {
    local name=installer dir='C:\users\Public\VorlinexTest' status=0
    local unix_dir
    unix_dir=$WINEPREFIX/drive_c/users/Public/VorlinexTest
    rm -rf "$unix_dir"
    local problems=()
    wine "$SETUP" /S "/D=$dir" >"$WINE_DIR/installer.log" 2>&1 || problems+=("the installer exited with $?")
    wineserver -w
    local file
    for file in "${required_files[@]}" Uninstall.exe; do
        [ -f "$unix_dir/$file" ] || problems+=("not installed: $file")
    done
    wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vorlinex' /v UninstallString \
        >>"$WINE_DIR/installer.log" 2>&1 || problems+=("no uninstall entry in the registry")
    local start_menu
    start_menu=$(find "$WINEPREFIX/drive_c/users" -path '*Start Menu/Programs/Vorlinex.lnk' 2>/dev/null | head -1)
    [ -n "$start_menu" ] || problems+=("no Start menu entry")
    # The uninstaller copies itself away and runs from there: wait for the whole server.
    wine "$unix_dir/Uninstall.exe" /S >>"$WINE_DIR/installer.log" 2>&1 || problems+=("the uninstaller exited with $?")
    wineserver -w
    [ ! -e "$unix_dir" ] || problems+=("the uninstaller left $(cd "$unix_dir" && find . -mindepth 1 | head -5 | tr '\n' ' ')")
    [ -z "$start_menu" ] || [ ! -e "$start_menu" ] || problems+=("the uninstaller left the Start menu entry")
    if wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vorlinex' >/dev/null 2>&1; then
        problems+=("the uninstaller left its registry entry")
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        printf '%-28s PASSED  (installed, Start menu entry and uninstall entry, removed again)\n' "$name"
        passed_programs+=("$name")
    else
        printf '%-28s FAILED\n' "$name"
        printf '    %s\n' "${problems[@]}"
        failed_programs+=("$name")
    fi
}

run_wine_tests() {
    echo "== Windows tests under Wine"
    rm -rf "$WINE_DIR"
    mkdir -p "$WINE_DIR"
    trap wine_cleanup EXIT
    start_xvfb
    setup_wine

    local name
    for name in "${WINE_TEST_PROGRAMS[@]}"; do
        if [ -f "$BUILD/$name.exe" ]; then
            run_wine_program "$name"
        else
            printf '%-28s FAILED  (not built)\n' "$name"
            failed_programs+=("$name")
        fi
    done
    # Each fuzz harness replays its seeds, as in the Linux build.
    local replay
    for replay in "$BUILD"/replay_*.exe; do
        [ -f "$replay" ] || continue
        name=$(basename "$replay" .exe)
        run_wine_program "$name" "../tests/fuzz/corpus/${name#replay_}"
    done
    # The window programs' tests on Xvfb, through Qt's own Windows platform, except those
    # named in WINE_OFFSCREEN (Qt's offscreen platform).
    local program platform
    for program in "$BUILD"/test_*_ui.exe; do
        [ -f "$program" ] || continue
        name=$(basename "$program" .exe)
        platform=windows
        case " ${WINE_OFFSCREEN:-} " in *" $name "*) platform=offscreen ;; esac
        QT_QPA_PLATFORM=$platform run_wine_program "$name"
    done
    check_installer

    wine_cleanup
    trap - EXIT
    echo "Windows tests: ${#passed_programs[@]} passed, ${#failed_programs[@]} failed${failed_programs:+ (${failed_programs[*]})}"
    [ ${#failed_programs[@]} -eq 0 ]
}

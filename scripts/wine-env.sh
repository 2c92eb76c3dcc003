# Sourced by the project's scripts: the project's own Wine prefix under the
# build folder, a warm wineserver, and its clean stop on every exit.
#   BUILD   the build folder (set by the caller)

export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_start() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        timeout 300 wineboot -i </dev/null >"$BUILD/wineboot.log" 2>&1
        timeout 60 wineserver -w
    fi
    # A persistent server saves ~2.7 s per test program; its output goes to
    # /dev/null so that no caller's pipe is held open by it.
    wineserver -p </dev/null >/dev/null 2>&1
    trap wine_stop EXIT
    # Start Wine's own background services now, with /dev/null handles, so
    # they do not inherit (and hold open) ctest's pipes.
    timeout 120 /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
}

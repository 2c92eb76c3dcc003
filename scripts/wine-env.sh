# Sourced by the project's scripts: the project's own Wine prefix under the
# build folder, a warm wineserver, and its clean stop on every exit.
#   BUILD   the build folder (set by the caller)

export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE64=/usr/lib/wine/wine64
# Where the i386 loader runs under qemu-user (see setup.sh): a guest address
# space just past 2 GiB. A 32-bit Windows program uses the lower 2 GiB; with
# qemu's default 4 GiB space Wine's start-up spends ~45 s reserving the upper
# half page range by page range, with this one about 2 s.
export QEMU_RESERVED_VA=0x81000000
# Where 32-bit programs run under qemu-user: tests read TALVERN_EMULATED_32BIT
# to size their work to the slower emulated processes, and every process
# gets the preload library built by setup.sh (tools/qemu-ldt), without which
# a 32-bit Wine process does not survive a second thread of its own. ld.so
# expands $LIB to its own library folder, so the 32-bit loader takes the
# working library and every 64-bit program (cmake, ctest, wine64, the
# wineserver) its empty twin.
if [ -f /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    export TALVERN_EMULATED_32BIT=1
    qemu_ldt="$BUILD/qemu-ldt/\$LIB/libqemuldt.so"
    if [ -f "$BUILD/qemu-ldt/lib/i386-linux-gnu/libqemuldt.so" ] &&
       [ -f "$BUILD/qemu-ldt/lib/x86_64-linux-gnu/libqemuldt.so" ]; then
        export LD_PRELOAD="$qemu_ldt${LD_PRELOAD:+:$LD_PRELOAD}"
    else
        echo "warning: $BUILD/qemu-ldt is not built (scripts/setup.sh builds it);" \
             "32-bit Wine processes with threads will fail" >&2
    fi
fi
wine_ready_mark="$WINEPREFIX/.talvern-prefix-ready"
wine_prefix_pid=""

# Starts creating the prefix in the background when it is missing (a few
# minutes where 32-bit programs run emulated), so a build can run meanwhile.
wine_prefix_begin() {
    trap wine_stop EXIT
    [ -f "$wine_ready_mark" ] && return 0
    echo "== creating Wine prefix $WINEPREFIX (in the background)"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    (
        timeout 900 wineboot -i </dev/null >"$BUILD/wineboot.log" 2>&1 &&
        # Wine links the profile's folders (Desktop, Documents, ...) to the
        # Unix home; plain folders instead keep a test that removes a tree
        # on drive C: away from the home of whoever runs the tests.
        find "$WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -type l \
            -exec sh -c 'rm "$1" && mkdir "$1"' sh {} \; &&
        # Wine's services give a service 10 s to connect to them; a 32-bit
        # one can take longer where it runs emulated.
        timeout 120 "$WINE64" reg add 'HKLM\System\CurrentControlSet\Control' \
            /v ServicesPipeTimeout /t REG_SZ /d 600000 /f </dev/null >/dev/null 2>&1 &&
        timeout 120 wineserver -w &&
        touch "$wine_ready_mark"
    ) </dev/null >/dev/null 2>&1 &
    wine_prefix_pid=$!
}

# Waits for the prefix, starts a persistent wineserver and Wine's own
# background services.
wine_start() {
    [ -n "$wine_prefix_pid" ] || wine_prefix_begin
    if [ -n "$wine_prefix_pid" ]; then
        wait "$wine_prefix_pid" || true
        wine_prefix_pid=""
    fi
    if [ ! -f "$wine_ready_mark" ]; then
        echo "Wine prefix creation failed; see $BUILD/wineboot.log" >&2
        return 1
    fi
    # A persistent server saves ~2.7 s per test program; its output goes to
    # /dev/null so that no caller's pipe is held open by it. One that is
    # already running for this prefix (left by an earlier command) serves
    # as well.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # Start Wine's own background services now, with /dev/null handles, so
    # they do not inherit (and hold open) ctest's pipes.
    timeout 120 "$WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
    if [ -n "$wine_prefix_pid" ]; then
        kill "$wine_prefix_pid" 2>/dev/null || true
    fi
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
}

# Sourced by the demo and benchmark scripts: builds the targets they need,
# starts the Wine prefix and the simulated board on a free port of
# 127.0.0.1, and stops everything on exit.
#   BUILD=build   the build folder (holds the Wine prefix too)
#   ARCH=x86_64   the bitness to run

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export BUILD=${BUILD:-$root/build}
arch=${ARCH:-x86_64}
bin="$BUILD/$arch/bin"

bash "$root/scripts/setup.sh"
. "$root/scripts/wine-env.sh"
mkdir -p "$BUILD"
if [ "$arch" = i686 ]; then loader=wine; else loader=$WINE64; fi

work=$(mktemp -d)
board_pid=""
demo_finish() {
    [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null || true
    wine_stop
    rm -rf "$work"
}

# demo_begin TARGET...: configures and builds the targets for $arch while
# the prefix is made, then starts the warm wineserver.
demo_begin() {
    wine_prefix_begin
    trap demo_finish EXIT
    cmake -S "$root" -B "$BUILD/$arch" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
    cmake --build "$BUILD/$arch" -j"$(nproc)" --target "$@" >"$work/build.txt" 2>&1 ||
        { tail -40 "$work/build.txt" >&2; exit 1; }
    wine_start
}

# board_start: BoardSim.exe on a free port of 127.0.0.1, its output in
# $work/board.txt; sets $port.
board_start() {
    (cd "$work" && exec timeout 1800 "$loader" "$bin/BoardSim.exe" 0 1800 </dev/null \
        >board.txt 2>&1) &
    board_pid=$!
    port=""
    for _ in $(seq 300); do
        port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/board.txt" \
               2>/dev/null | head -1)
        [ -n "$port" ] && return 0
        sleep 0.2
    done
    echo "the simulated board did not start" >&2
    cat "$work/board.txt" >&2
    exit 1
}

# new_board_requests TITLE: prints TITLE and the requests the board served
# since the last call, one per line. The board prints each request before
# its reply, so a program that has ended finds all of its own there.
board_requests_shown=0
new_board_requests() {
    echo
    echo "$1"
    local lines
    lines=$(grep '^request' "$work/board.txt" | tr -d '\r' || true)
    if [ -n "$lines" ]; then
        printf '%s\n' "$lines" | tail -n +"$((board_requests_shown + 1))" | sed 's/^/  /'
        board_requests_shown=$(printf '%s\n' "$lines" | wc -l)
    fi
}

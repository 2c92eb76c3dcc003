#!/usr/bin/env bash
# The benchmark: builds what is missing (x86_64), starts the simulated board
# on 127.0.0.1 and runs LinkBench.exe against it: round trips per second of
# TVN_SmemReadWord and a 4 KiB TVN_SmemReadBytes beside a plain Winsock
# client, at log level 0 and with every line enabled.
#   BUILD=build   the build folder (holds the Wine prefix too)
# An argument gives the seconds per measurement (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD=${BUILD:-$root/build}
arch=x86_64
bin="$BUILD/$arch/bin"

bash "$root/scripts/setup.sh"
. "$root/scripts/wine-env.sh"
mkdir -p "$BUILD"
wine_prefix_begin

work=$(mktemp -d)
board_pid=""
finish() {
    [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null || true
    wine_stop
    rm -rf "$work"
}
trap finish EXIT

if [ ! -f "$BUILD/$arch/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$BUILD/$arch" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
fi
cmake --build "$BUILD/$arch" -j"$(nproc)" --target TalvernLink BoardSimExe LinkBench \
      >"$work/build.txt" 2>&1 || { tail -40 "$work/build.txt" >&2; exit 1; }
wine_start

# The board on a free port of 127.0.0.1 (it prints the port it got).
(cd "$work" && exec timeout 900 "$WINE64" "$bin/BoardSim.exe" 0 900 </dev/null >board.txt 2>&1) &
board_pid=$!
port=""
for _ in $(seq 300); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/board.txt" 2>/dev/null | head -1)
    [ -n "$port" ] && break
    sleep 0.2
done
[ -n "$port" ] || { echo "the simulated board did not start" >&2; cat "$work/board.txt" >&2; exit 1; }

status=0
(cd "$work" && timeout 600 "$WINE64" "$bin/LinkBench.exe" 127.0.0.1 "$port" "${1:-2}" </dev/null \
    >bench.txt 2>&1) || status=$?
tr -d '\r' <"$work/bench.txt"
exit $status

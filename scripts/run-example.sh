#!/usr/bin/env bash
# The main job: builds what is missing (x86_64), starts the simulated board
# on 127.0.0.1, runs LinkExample.exe against it through TalvernLink.dll, and
# prints what the example did, the log lines the library wrote and the
# requests the board served. Everything it started is stopped at the end.
#   BUILD=build   the build folder (holds the Wine prefix too)
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
cmake --build "$BUILD/$arch" -j"$(nproc)" --target TalvernLink BoardSimExe LinkExample \
      >"$work/build.txt" 2>&1 || { tail -40 "$work/build.txt" >&2; exit 1; }
wine_start

# The board on a free port of 127.0.0.1 (it prints the port it got).
(cd "$work" && exec timeout 600 "$WINE64" "$bin/BoardSim.exe" 0 600 </dev/null >board.txt 2>&1) &
board_pid=$!
port=""
for _ in $(seq 300); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/board.txt" 2>/dev/null | head -1)
    [ -n "$port" ] && break
    sleep 0.2
done
[ -n "$port" ] || { echo "the simulated board did not start" >&2; cat "$work/board.txt" >&2; exit 1; }

# Every line of the library enabled in the example's working folder.
printf '[LOG]\r\nLOGLEVEL=10007H\r\n' >"$work/TalvernLog.ini"
status=0
(cd "$work" && timeout 120 "$WINE64" "$bin/LinkExample.exe" 127.0.0.1 "$port" </dev/null \
    >example.txt 2>&1) || status=$?
tr -d '\r' <"$work/example.txt"
sleep 0.1
echo
echo "the simulated board served:"
grep '^request' "$work/board.txt" | sed 's/^/  /' || true
exit $status

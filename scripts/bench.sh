#!/usr/bin/env bash
# The benchmark: builds what is missing (x86_64), starts the simulated board
# on 127.0.0.1 and runs LinkBench.exe against it: round trips per second of
# TVN_SmemReadWord and a 4 KiB TVN_SmemReadBytes beside a plain Winsock
# client, at log level 0 and with every line enabled.
#   BUILD=build   the build folder (holds the Wine prefix too)
# An argument gives the seconds per measurement (default 2).
set -euo pipefail
. "$(dirname "$0")/demo-env.sh"

demo_begin TalvernLink BoardSimExe LinkBench
board_start

status=0
(cd "$work" && timeout 600 "$loader" "$bin/LinkBench.exe" 127.0.0.1 "$port" "${1:-2}" \
    </dev/null >bench.txt 2>&1) || status=$?
tr -d '\r' <"$work/bench.txt"
exit $status

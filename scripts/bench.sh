#!/usr/bin/env bash
# The benchmark: builds what is missing (x86_64), starts the simulated board
# on 127.0.0.1 and runs
#  1. LinkBench.exe against it: round trips per second of TVN_SmemReadWord
#     and a 4 KiB TVN_SmemReadBytes beside a plain Winsock client, at log
#     level 0 and with every line enabled;
#  2. BridgeBench.exe with a copy of HmiBridge.dll in a folder of its own:
#     on the board HMI_SmemReadDWord and a 4 KiB HMI_SmemReadBytes beside
#     TalvernLink.dll and the plain client; on the Windows file mapping and
#     on an INtime segment of the NTX stand-in, calls per second of
#     HMI_SmemReadDWord beside a plain read of the same bytes.
# The programs' output shows as it comes: each figure as it is measured.
#   BUILD=build   the build folder (holds the Wine prefix too)
# An argument gives the seconds per measurement (default 2).
set -euo pipefail
. "$(dirname "$0")/demo-env.sh"

demo_begin TalvernLink BoardSimExe LinkBench HmiBridge NtxStandIn BridgeBench
board_start

# run_shown FOLDER PROGRAM ARGS...: runs PROGRAM in FOLDER for at most 600 s,
# its output passed on line by line without the CRs (sed -u: at once, even
# into a pipe); the status is the program's (pipefail).
run_shown() {
    (cd "$1" && timeout 600 "$loader" "${@:2}" </dev/null 2>&1 | sed -u 's/\r$//')
}

status=0
run_shown "$work" "$bin/LinkBench.exe" 127.0.0.1 "$port" "${1:-2}" || status=$?

echo
# A folder without TalvernLog.ini (the library's default log level), holding
# the bridge; the bridge finds the NTX stand-in through INTIME.
mkdir -p "$work/bridge/hmi"
cp "$bin/HmiBridge.dll" "$work/bridge/hmi/"
intime=$(cd "$bin/intime" && pwd)
export INTIME="Z:${intime//\//\\}"  # drive Z: is the Unix root
run_shown "$work/bridge" "$bin/BridgeBench.exe" hmi "$port" "${1:-2}" || status=$?
exit $status

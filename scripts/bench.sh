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
#   BUILD=build   the build folder (holds the Wine prefix too)
# An argument gives the seconds per measurement (default 2).
set -euo pipefail
. "$(dirname "$0")/demo-env.sh"

demo_begin TalvernLink BoardSimExe LinkBench HmiBridge NtxStandIn BridgeBench
board_start

status=0
(cd "$work" && timeout 600 "$loader" "$bin/LinkBench.exe" 127.0.0.1 "$port" "${1:-2}" \
    </dev/null >bench.txt 2>&1) || status=$?
tr -d '\r' <"$work/bench.txt"

echo
# A folder without TalvernLog.ini (the library's default log level), holding
# the bridge; the bridge finds the NTX stand-in through INTIME.
mkdir -p "$work/bridge/hmi"
cp "$bin/HmiBridge.dll" "$work/bridge/hmi/"
intime=$(cd "$bin/intime" && pwd)
export INTIME="Z:${intime//\//\\}"  # drive Z: is the Unix root
(cd "$work/bridge" && timeout 600 "$loader" "$bin/BridgeBench.exe" hmi "$port" "${1:-2}" \
    </dev/null >bench.txt 2>&1) || status=$?
tr -d '\r' <"$work/bridge/bench.txt"
exit $status

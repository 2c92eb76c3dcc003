#!/usr/bin/env bash
# The main job: builds what is missing (x86_64), starts the simulated board
# on 127.0.0.1, runs LinkExample.exe against it through TalvernLink.dll, and
# prints what the example did, the log lines the library wrote and the
# requests the board served. Everything it started is stopped at the end.
#   BUILD=build   the build folder (holds the Wine prefix too)
set -euo pipefail
. "$(dirname "$0")/demo-env.sh"

demo_begin TalvernLink BoardSimExe LinkExample
board_start

# Every line of the library enabled in the example's working folder.
printf '[LOG]\r\nLOGLEVEL=10007H\r\n' >"$work/TalvernLog.ini"
status=0
(cd "$work" && timeout 120 "$loader" "$bin/LinkExample.exe" 127.0.0.1 "$port" </dev/null \
    >example.txt 2>&1) || status=$?
tr -d '\r' <"$work/example.txt"
sleep 0.1
echo
echo "the simulated board served:"
board_requests
exit $status

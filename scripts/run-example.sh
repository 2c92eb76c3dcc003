#!/usr/bin/env bash
# The main job: builds what is missing (x86_64) and starts the simulated
# board on 127.0.0.1; then
#  1. runs LinkExample.exe against it through TalvernLink.dll and prints what
#     the example did, the log lines the library wrote and the requests the
#     board served;
#  2. runs ServiceDemo.exe, which installs TalvernSvc in the project's Wine
#     prefix with its registry parameters pointing at the board, starts it,
#     shows the board connection, stops it, prints the service's trace texts
#     and removes it again; then the requests the board received from it;
#  3. copies HmiBridge.dll into a folder of its own and runs HmiExample.exe,
#     which configures the bridge there for the board and then for the
#     Windows file mapping, and prints what the example did and the requests
#     the board served it.
# Everything it started is stopped at the end.
#   BUILD=build   the build folder (holds the Wine prefix too)
set -euo pipefail
. "$(dirname "$0")/demo-env.sh"

demo_begin TalvernLink TalvernSvc BoardSimExe LinkExample ServiceDemo HmiBridge HmiExample
board_start

echo "== TalvernLink.dll: LinkExample.exe against the board at 127.0.0.1:$port"
# Every line of the library enabled in the example's working folder.
printf '[LOG]\r\nLOGLEVEL=10007H\r\n' >"$work/TalvernLog.ini"
status=0
(cd "$work" && timeout 120 "$loader" "$bin/LinkExample.exe" 127.0.0.1 "$port" </dev/null \
    >example.txt 2>&1) || status=$?
tr -d '\r' <"$work/example.txt"
new_board_requests "the simulated board served:"

echo
echo "== TalvernSvc: ServiceDemo.exe with the board at 127.0.0.1:$port"
(cd "$work" && timeout 600 "$loader" "$bin/ServiceDemo.exe" "$port" </dev/null \
    >service.txt 2>&1) || status=$?
tr -d '\r' <"$work/service.txt"
new_board_requests "the simulated board served the service (command 7 is the clock record):"

echo
echo "== HmiBridge.dll: HmiExample.exe, the bridge in its own folder, the board at 127.0.0.1:$port"
# The example writes HmiBridge.ini beside the copied library; the bridge
# finds TalvernLink.dll in the example's own folder.
mkdir -p "$work/hmi"
cp "$bin/HmiBridge.dll" "$work/hmi/"
(cd "$work" && timeout 120 "$loader" "$bin/HmiExample.exe" hmi "$port" </dev/null \
    >hmi.txt 2>&1) || status=$?
tr -d '\r' <"$work/hmi.txt"
new_board_requests "the simulated board served the bridge (1 open, 2 close, 3 write, 4 read, 5 size):"
exit $status

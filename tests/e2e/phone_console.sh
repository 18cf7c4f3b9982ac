#!/usr/bin/env bash
# Drives dialo-phone through standard input the way a script or the demo does.
set -euo pipefail
phone=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; echo "--- output:"; cat "$dir/out" 2>/dev/null; exit 1; }
run() { printf '%s\n' "$@" | LOCALAPPDATA="$dir" timeout 20 "$phone" >"$dir/out" 2>"$dir/err" || fail "exit code $? after $*"; }
lines() { sed -n "$1p" "$dir/out" | tr '\n' ' '; }
# No sound server here (the socket named does not exist): the phone runs silent and says so once.
export PULSE_SERVER="unix:$dir/no-sound-server"
# A fresh data folder: a bad command changes nothing, nothing runs after quit.
run status frobnicate "" "  status  " quit status
status='{"balance":"","callId":"","callSats":0,"callState":"Idle","caption":"","connected":false,"event":"status","network":"devnet","ownHandle":"","ownPayAddress":"","peerHandle":"","statusText":"No sound server is running; this phone has no sound."}'
[ "$(lines 1,5)" = "{\"event\":\"ready\"} $status {\"error\":\"unknown command\"} $status " ] || fail "status, a bad command, status, quit"
# Without sound there is nothing to choose, and a ring is the console's bell.
run devices ring "output spk" quit
[ "$(lines 2,5)" = '{"devices":[],"event":"devices"} {"event":"bell"} {"event":"tone","output":false,"tone":"ring"} {"error":"No such output device."} ' ] ||
  fail "sound commands without sound"
# Wallet commands run on a worker; those sent before quit still answer, in their order.
run balance coins contacts quit
[ "$(grep -o '"event":"\(balance\|coins\|contacts\)"' "$dir/out" | tr '\n' ' ')" = '"event":"balance" "event":"coins" "event":"contacts" ' ] ||
  fail "commands sent before quit must answer in order"
# The store's private files and the end of input are phone_store_test's and e2e.call_ends'.
echo "1 passed, 0 failed"

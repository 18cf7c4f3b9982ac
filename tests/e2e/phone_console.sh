#!/usr/bin/env bash
# Drives dialo-phone through standard input the way a script or the demo does.
set -euo pipefail
phone=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; echo "--- output:"; cat "$dir/out" 2>/dev/null; exit 1; }

# No sound server here (the socket named does not exist): the phone runs silent and says so once.
export PULSE_SERVER="unix:$dir/no-sound-server"

# A fresh data folder: start, status, a bad command, status again, quit.
printf 'status\nfrobnicate\n\n  status  \nquit\nstatus\n' |
  LOCALAPPDATA="$dir" timeout 20 "$phone" >"$dir/out" 2>"$dir/err" || fail "exit code $?"

[ "$(sed -n 1p "$dir/out")" = '{"event":"ready"}' ] || fail "first line is not ready"
status='{"balance":"","callId":"","callSats":0,"callState":"Idle","caption":"","connected":false,"event":"status","network":"devnet","ownHandle":"","ownPayAddress":"","peerHandle":"","statusText":"No sound server is running; this phone has no sound."}'
[ "$(sed -n 2p "$dir/out")" = "$status" ] || fail "status line"
[ "$(sed -n 3p "$dir/out")" = '{"error":"unknown command"}' ] || fail "unknown command answer"
[ "$(sed -n 4p "$dir/out")" = "$status" ] || fail "the bad command changed something"
[ "$(wc -l <"$dir/out")" -eq 4 ] || fail "nothing may run after quit"

# Without sound there is nothing to choose, and a ring is the console's bell.
printf 'devices\nring\noutput spk\nquit\n' |
  LOCALAPPDATA="$dir" timeout 20 "$phone" >"$dir/out" 2>"$dir/err" || fail "exit code $?"
[ "$(sed -n 2,5p "$dir/out" | tr '\n' ' ')" = \
  '{"devices":[],"event":"devices"} {"event":"bell"} {"event":"tone","output":false,"tone":"ring"} {"error":"No such output device."} ' ] ||
  fail "sound commands without sound"

# Wallet commands run on a worker; those sent before quit still answer, in their order.
printf 'balance\ncoins\ncontacts\nquit\n' |
  LOCALAPPDATA="$dir" timeout 20 "$phone" >"$dir/out" 2>"$dir/err" || fail "exit code $?"
[ "$(grep -o '"event":"\(balance\|coins\|contacts\)"' "$dir/out" | tr '\n' ' ')" = \
  '"event":"balance" "event":"coins" "event":"contacts" ' ] || fail "commands sent before quit must answer in order"

# The first run leaves the shared store file, readable by its owner only.
store="$dir/Orvane/dialo/phone.json"
[ -f "$store" ] || fail "no shared store file"
[ "$(stat -c %a "$store")" = 600 ] || fail "store file mode $(stat -c %a "$store")"

# End of input ends the phone like quit does; stored settings and configuration survive it.
cat >"$store" <<'JSON'
{"theme": 2, "volume": 120, "network": {"service_port": 9443}, "audio": {"backend": "none"}}
JSON
printf 'status\n' | LOCALAPPDATA="$dir" timeout 20 "$phone" >"$dir/out" 2>"$dir/err" || fail "exit code on EOF"
[ "$(wc -l <"$dir/out")" -eq 2 ] || fail "status after restart"
grep -q '"service_port": 9443' "$store" || fail "network configuration was touched"

# The main network's profile, chosen on the command line, with its public hosts sent to a closed
# port: the check says which network, what is missing, and why each service did not answer;
# the key it was given goes unprinted.
cat >"$store" <<'JSON'
{"network": {"hosts": {"api.whatsonchain.com": "127.0.0.1:1", "arc.gorillapool.io": "127.0.0.1:1",
 "whatsonchain.com": "127.0.0.1:1"}, "woc_api_key": "never-shown-5e1"}}
JSON
rc=0
LOCALAPPDATA="$dir" timeout 60 "$phone" --profile main --check >"$dir/out" 2>"$dir/err" || rc=$?
[ "$rc" = 1 ] || fail "check exit code $rc with no service answering"
grep -q '^network: main network (profile main)$' "$dir/out" || fail "check names the network"
grep -q 'network.event_fee_address is not set' "$dir/out" || fail "check names the missing fee address"
grep -q 'not asked: network.service_domain is not set' "$dir/out" || fail "check names the missing platform host"
grep -A1 'WhatsOnChain .*https://api.whatsonchain.com/v1/bsv/main/chain/info' "$dir/out" |
  grep -q 'did not answer: .*, API key sent' || fail "check says why WhatsOnChain did not answer"
! grep -q never-shown "$dir/out" "$dir/err" || fail "the API key was printed"
rc=0
LOCALAPPDATA="$dir" timeout 20 "$phone" --profile mainnet --check >"$dir/out" 2>"$dir/err" || rc=$?
[ "$rc" = 2 ] && grep -q 'the profiles are devnet and main' "$dir/err" || fail "an unknown profile is refused"

echo "1 passed, 0 failed"

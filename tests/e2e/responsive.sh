#!/usr/bin/env bash
# The phone keeps answering while the network is slow: with the devnet holding WhatsOnChain's
# first answer 10 s, a `refresh` waits on it, and 20 `status` commands sent meanwhile are all
# answered within 2 s, before the refresh ends. The 2 s deadline is far from the 10 s hold, so
# the result does not depend on the machine's speed. Then `quit` while a connect waits for
# Vaultra ends the phone at once.
# Usage: responsive.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
command -v curl >/dev/null || { echo "responsive.sh: curl is needed to set the devnet's faults"; exit 1; }

devnet_pid=""
port=""
ca=""

devnet_printed() { [ "$(wc -l <"$dir/devnet.out")" -ge 1 ]; }
devnet_ended() { ! kill -0 "$devnet_pid" 2>/dev/null; }
devnet_settled() { devnet_printed || devnet_ended; }

# The devnet on ports the system picks; it prints the ones it bound.
start_devnet() {
  : >"$dir/devnet.out"
  LOCALAPPDATA="$dir" timeout 300 "$devnet" serve --port 0 --directory-port 0 --block-interval 0 \
    >"$dir/devnet.out" 2>"$dir/devnet.err" &
  devnet_pid=$!
  wait_until 20 devnet_settled || fail "the devnet printed nothing within 20 s"
  devnet_printed || fail "the devnet did not start: $(cat "$dir/devnet.err")"
  port=$(json_number service_port <"$dir/devnet.out")
  check "devnet serving on port ${port:-none}" [ -n "$port" ] && [ "$port" -gt 0 ]
  ca="$(orvane)/devnet-ca.pem"
  mkdir -p "$(orvane)/dialo"
  head -n1 "$dir/devnet.out" >"$(orvane)/dialo/phone.json"
}

stop_devnet() {
  if [ -n "$devnet_pid" ] && kill -0 "$devnet_pid" 2>/dev/null; then
    kill "$devnet_pid"
    wait "$devnet_pid" 2>/dev/null
  fi
  devnet_pid=""
}

scenario_cleanup() {
  kill_phone
  stop_devnet
}

devnet_get() { curl -sS --fail --max-time 20 --cacert "$ca" "https://127.0.0.1:$port$1"; }
devnet_post() {
  curl -sS --fail --max-time 20 --cacert "$ca" -H 'Content-Type: application/json' -d "$2" "https://127.0.0.1:$port$1"
}
# WhatsOnChain's next answer waits $1 ms.
hold_woc() { devnet_post /devnet/fault "{\"path_prefix\":\"/woc/\",\"delay_ms\":$1,\"count\":1}" >/dev/null; }
no_fault_pending() { [ "$(devnet_get /devnet/status | json_number faults)" = 0 ]; }

# Lines of event $1 in the phone's output so far.
count_events() { grep -cE "\"event\":\"$1\"[,}]" "$out"; }
statuses_answered() { [ "$(count_events status)" -ge "$1" ]; }

# ---------------------------------------------------------------------------------------

status_during_refresh() {
  begin refresh
  start_devnet
  v --json create --handle alice
  check "vaultra create --handle alice exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  local address
  address=$(json_text address <"$dir/v.out")
  v --json fund 50000 --confirm
  check "vaultra fund 50000 --confirm exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]

  start_phone
  send status
  next_event "status at start" status
  check "the only wallet is connected at start (got $line)" grep -qF '"connected":true,' <<<"$line"
  check "status names the wallet's address (got $line)" grep -qF "\"ownPayAddress\":\"$address\"" <<<"$line"

  check "a 10 s hold set on WhatsOnChain's next answer" hold_woc 10000
  send refresh
  check "the refresh's request is held by the devnet" wait_until 20 no_fault_pending
  local before i
  before=$(count_events status)
  for ((i = 0; i < 20; i++)); do send status; done
  check "20 status answers within 2 s while the refresh waits" wait_until 2 statuses_answered $((before + 20))
  check "the refresh was still waiting when they came" [ "$(count_events refresh-done)" -eq 0 ]

  expect "refresh ends once the devnet answers" '{"event":"refresh-done"}'
  send status
  next_event "status after the refresh" status
  # The status line that came after refresh-done, not one of the 20 before it.
  line=$(grep -E '"event":"status"' "$out" | tail -n1)
  check "status shows the handle after the refresh (got $line)" grep -qF '"ownHandle":"alice"' <<<"$line"
  check "status shows the funded balance after the refresh (got $line)" grep -qF '"balance":"alice   50000 sats"' <<<"$line"
  stop_phone
}

# Two wallets, so the connect waits for an approval that never comes; quit must not wait.
quit_during_connect() {
  begin quit_connect
  v create
  v create
  start_phone
  send connect
  send quit
  exec 7>&-
  check "the phone ends within 10 s of quit during a connect" wait_until 10 phone_ended
  wait "$phone_pid"
  local code=$?
  phone_pid=""
  check "phone exit code 0 (got $code)" [ "$code" -eq 0 ]
}

run_scenarios status_during_refresh quit_during_connect

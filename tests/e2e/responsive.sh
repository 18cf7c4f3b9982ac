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

count_events() { grep -cE "\"event\":\"$1\"[,}]" "$out"; }
statuses_answered() { [ "$(count_events status)" -ge "$1" ]; }

status_during_refresh() {
  begin refresh
  start_devnet
  v --json create --handle alice
  check "vaultra create --handle alice exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  local address before i
  address=$(json_text address <"$dir/v.out")
  v --json fund 50000 --confirm
  check "vaultra fund 50000 --confirm exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]

  phone_up "$scenario"
  status_is "the only wallet is connected at start" '"connected":true,'
  check "status names the wallet's address" grep -qF "\"ownPayAddress\":\"$address\"" <<<"$line"
  check "a 10 s hold set on WhatsOnChain's next answer" hold /woc/ 10000
  send refresh
  check "the refresh's request is held by the devnet" wait_until 20 no_fault_pending
  before=$(count_events status)
  for ((i = 0; i < 20; i++)); do send status; done
  check "20 status answers within 2 s while the refresh waits" wait_until 2 statuses_answered $((before + 20))
  check "the refresh was still waiting when they came" [ "$(count_events refresh-done)" -eq 0 ]

  expect "refresh ends once the devnet answers" '{"event":"refresh-done"}'
  seen=$(wc -l <"$out")  # past the 20 answers
  status_is "status shows the funded balance after the refresh" '"balance":"alice   50000 sats"'
  check "status shows the handle after the refresh" grep -qF '"ownHandle":"alice"' <<<"$line"
  quit_phone "$scenario"
}

# Two wallets, so the connect waits for an approval that never comes; quit must not wait.
quit_during_connect() {
  begin quit_connect
  v create
  v create
  phone_up "$scenario"
  send connect
  quit_phone "$scenario" 10
}

run_scenarios status_during_refresh quit_during_connect

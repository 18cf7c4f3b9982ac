#!/usr/bin/env bash
# Call events from one phone to a handle on a local devnet: alice's funded phone sends bob an
# invite and a hang-up of one call, and each transaction, read back through the devnet's
# WhatsOnChain API, is checked with @bsv/sdk alone (tests/interop/open_events.mjs): bob and the
# fee address are paid 1 satoshi each, bob's identity key (derived from his phrase by the SDK)
# opens the event and alice's published key signed it, carol's key opens nothing. A send
# without a wallet and one to an unknown handle are refused without a transaction.
# Usage: send_events.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-node
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
node=${4:-}
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
interop=$(cd "$(dirname "${BASH_SOURCE[0]}")/../interop" && pwd)
command -v curl >/dev/null || { echo "send_events.sh: curl is needed to read the devnet's answers"; exit 1; }
"$node" --version >/dev/null 2>&1 || { echo "send_events.sh: node ('$node') does not run; run scripts/setup"; exit 1; }

# BIP39 test phrases, so the SDK derives bob's and carol's keys without asking anyone.
bob_phrase="legal winner thank year wave sausage worth useful legal winner thank yellow"
carol_phrase="letter advice cage absurd amount doctor acoustic avoid letter advice cage above"
# Not the built-in event fee address, so the phone must take the configured one.
fee_address=1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2

# Transactions in the mempool paying bob (the phone's own coin splits pay only itself).
bob_paid_is() {
  [ "$(devnet_get "/woc/v1/bsv/main/address/$bob_address/unconfirmed/history" | grep -o '"tx_hash"' | wc -l)" = "$1" ]
}

# A wallet restored (or created, without a phrase) in this folder with handle $1: its receive
# address and identity key in $address and $identity_pub.
wallet() {
  if [ -n "${2:-}" ]; then v_in "$2" --json restore --handle "$1"; else v --json create --handle "$1"; fi
  check "vaultra makes $1's wallet (exit code $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  address=$(json_text address <"$dir/v.out")
  identity_pub=$(json_text identity_pub <"$dir/v.out")
  check "$1's wallet has an address ($address) and an identity key ($identity_pub)" \
    matches "$address $identity_pub" '^1[1-9A-HJ-NP-Za-km-z]{25,34} 0[23][0-9a-f]{64}$'
}

published_key() { devnet_get "/api/bsvalias/id/$1@orvane.test" | json_text pubkey; }

# Sends `send ARGS` and takes its answer: sent:true with a txid in $txid, or refused with a
# status in $status.
send_event() {
  send "send $1"
  next_event "send $1" send 120
}
sent_ok() {
  check "send $1 is sent with a txid (got $line)" \
    matches "$line" '^\{"event":"send","hold":false,"sent":true,"status":"","txid":"([0-9a-f]{64})"\}$'
  txid=${BASH_REMATCH[1]}
}
refused() {
  check "send $1 is refused with a status (got $line)" \
    matches "$line" '^\{"event":"send","hold":false,"sent":false,"status":"([^"]+)","txid":""\}$'
  status=${BASH_REMATCH[1]}
}

send_events() {
  begin send_events
  start_devnet
  local network=$dir/devnet.out alice_address alice_pub bob_address bob_pub call invite hangup before
  sed "s/^{\"network\":{/&\"event_fee_address\":\"$fee_address\",/" "$network" | head -n1 >"$(orvane)/dialo/phone.json"
  check "the phone file names the event fee address" grep -qF "\"event_fee_address\":\"$fee_address\"" \
    "$(orvane)/dialo/phone.json"
  wallet alice
  alice_address=$address alice_pub=$identity_pub
  v --json fund 100000 --confirm
  check "vaultra fund 100000 --confirm (exit code $rc: $(cat "$dir/v.err"))" \
    matches "$(json_text txid <"$dir/v.out")" '^[0-9a-f]{64}$'

  # Bob publishes his handle with a refresh of his own phone; carol never does.
  begin send_events/bob
  configure_phone "$network"
  wallet bob "$bob_phrase"
  bob_address=$address bob_pub=$identity_pub
  start_phone
  ask "bob's refresh is done" refresh '{"event":"refresh-done"}' 180
  stop_phone
  check "the devnet publishes bob's identity key" [ "$(published_key bob)" = "$bob_pub" ]
  begin send_events/carol
  configure_phone "$network"
  wallet carol "$carol_phrase"

  begin send_events
  start_phone
  ask "alice's refresh is done" refresh '{"event":"refresh-done"}' 180
  check "the devnet publishes alice's identity key" [ "$(published_key alice)" = "$alice_pub" ]
  call=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
  send_event "bob invite $call"
  sent_ok "bob invite $call"
  invite=$txid
  send_event "bob hangup $call"
  sent_ok "bob hangup $call"
  hangup=$txid
  check "the devnet's mempool holds both events for bob" bob_paid_is 2

  (cd "$interop" && "$node" open_events.mjs "$(orvane)/dialo/phone.json" alice "$alice_address" "$bob_address" \
    "$bob_phrase" "$carol_phrase" "$call" "$invite:invite" "$hangup:hangup") >"$dir/open.out" 2>&1
  rc=$?
  check "open_events.mjs: both events read back, opened by bob and verified (exit code $rc: $(cat "$dir/open.out"))" \
    [ "$rc" -eq 0 ]
  echo "open_events.mjs: $(tail -n1 "$dir/open.out")"

  # Refused sends: the resolution's own error, and no wallet; neither pays anything.
  ask "resolving an unknown handle fails" "resolve nosuchhandle" \
    '{"address":"","error":"could not resolve nosuchhandle@orvane.test","event":"resolve"}' 60
  send_event "nosuchhandle invite"
  refused "nosuchhandle invite"
  check "send to an unknown handle answers the resolution error (got $status)" \
    [ "$status" = "could not resolve nosuchhandle@orvane.test" ]
  ask "disconnect succeeds" disconnect '{"event":"disconnect","result":"success"}'
  send_event "bob invite"
  refused "bob invite"
  check "the refused sends paid nothing" bob_paid_is 2
  stop_phone
}

run_scenarios send_events

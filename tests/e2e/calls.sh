#!/usr/bin/env bash
# Two phones: a call answered, one refused, the answer-phone on and off, bob killed between two
# calls (the earlier not ringing again), the events opened with @bsv/sdk alone (open_events.mjs).
# Usage: calls.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-node
set -uo pipefail
phone=$1 vaultra=$2 devnet=$3 node=${4:-}
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_tools calls.sh curl
need_node calls.sh
# Not the built-in event fee address, so the phone must take the configured one.
event_fee_address=1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2
# A BIP39 test phrase whose key must open none of alice's events.
carol_phrase="letter advice cage absurd amount doctor acoustic avoid letter advice cage above"
talked='"from":"alice","id":"","missed":false,"sats":[1-9][0-9]*,"secs":[0-9]+,"to":"bob","ts":[0-9]+,"txid":"[0-9a-f]{64}"'
pokes=()
# The highest "Ringing  N" of this phone's lines from line $1 up to the last one taken.
rings_since() { sed -n "$1,${seen}p" "$out" | grep -oE '"statusText":"Ringing  [0-9]+"' | grep -oE '[0-9]+' | sort -n | tail -n1; }
# Txids bob's phone has acted on (and saved, so that a restart does not act on them again).
bob_handled() { grep -oE '"txid": *"[0-9a-f]{64}"' "$root/bob/Orvane/dialo/phone-bob.json" 2>/dev/null | grep -oE '[0-9a-f]{64}'; }
rings() { saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'; }
hangs_up() {
  use "$1"
  send hangup
  saw "$1" "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."' '"caption":""'
  saw "$2" "hears the hang-up" 60 '"callState":"Idle"' '"statusText":"They hung up."' '"caption":""'
}
talk() {
  use alice
  send "call bob"
  saw bob "rings as Incoming from alice" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"' \
    '"peerHandle":"alice"' '"statusText":"Incoming call."'
  next_event "bob prints ring" ring 30
  saw alice "shows the call ringing out" 30 '"callState":"Calling"' '"caption":"Calling  bob"' '"statusText":"Ringing  '
  use bob
  send answer
  saw bob "is talking" 60 '"callState":"Talking"' '"statusText":"Connected."'
  saw alice "is talking once bob's accept arrives" 60 '"callState":"Talking"' '"statusText":"Connected."'
  if [ "$1" = alice ]; then hangs_up alice bob; else hangs_up bob alice; fi
}
answered() {
  scenario=answered
  talk alice
  history_of alice
  check "alice's history holds one call, talked, from alice to bob, paid ($history)" matches "$history" "^\{\"calls\":\[\{$talked\}\],\"event\":\"history\"\}$"
  # The answering side records the call too, as taken from alice.
  history_of bob
  check "bob's history holds the same call ($history)" matches "$history" "^\{\"calls\":\[\{$talked\}\],\"event\":\"history\"\}$"
}
# bob hangs up while it rings (send_test proves the call fee's ceiling).
refused() {
  scenario=refused
  use alice
  send "call bob"
  rings
  hangs_up bob alice
  history_of bob
  check "bob's history adds one call, missed, from alice to bob ($history)" \
    matches "$history" '^\{"calls":\[\{[^{}]*"missed":false[^{}]*\},\{"from":"alice","id":"[0-9a-f]{16}","missed":true,[^{}]*"to":"bob",[^{}]*\}\],"event":"history"\}$'
}
# Three rings after the divert at the least; how many came before it depends on the machine.
rings_on() { between "$1" 2 10; }
rings_off() { [ "$1" = 10 ]; }
# The answer-phone on or off: alice hears RINGS, records nothing; bob has MISSED missed calls.
answer_phone() {
  local mark r
  scenario="answer-phone $1"
  use bob
  ask "bob turns the answer-phone $1" "answer-phone $1" '{"changed":true,"event":"answer-phone"}'
  use alice
  mark=$((seen + 1))
  send "call bob"
  rings
  [ "$1" = off ] || saw bob "sends alice to the answer-phone" 60 '"callState":"Idle"' '"statusText":"Sent them to answer-phone."'
  saw alice "is asked to leave a message" 90 '"callState":"LeavingMessage"' '"statusText":"Leave a message."'
  r=$(rings_since "$mark")
  check "alice heard $2 rings (got ${r:-none})" "rings_$1" "${r:-0}"
  send hangup
  saw alice "ends with nothing recorded" 60 '"callState":"Idle"' '"statusText":"No message to leave."' '"caption":""'
  # Giving up without a message still ends the call on bob's side, or it would ring on as busy.
  [ "$1" = on ] || saw bob "is told the call ended" 60 '"callState":"Idle"' '"statusText":"They hung up."'
  history_of bob
  check "bob records the call as missed ($history)" [ "$(records '"missed":true')" -eq "$3" ]
}
# Alice sends bob an event of no call, kept as "ID TXID"; bob's phone acts on it.
poke() {
  local id txid
  id=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
  answer alice "send bob hangup $id" send 120
  check "alice's poke is sent ($line)" matches "$line" '^\{"event":"send","hold":false,"sent":true,"status":"","txid":"([0-9a-f]{64})"\}$'
  txid=${BASH_REMATCH[1]}
  pokes+=("$id $txid")
  check "bob's phone acts on the poke" wait_until 90 eval 'bob_handled | grep -qxF "$txid"'
}
restarted() {
  scenario=restarted
  local before
  talk alice
  history_of bob
  before=$history
  # The store is saved a moment after a change: the kill comes once the file holds the call.
  check "bob's file holds his $(records '"to"') calls" wait_until 20 eval \
    '[ "$(grep -o "\"secs\"" "$root/bob/Orvane/dialo/phone-bob.json" | wc -l)" -ge "$(records "\"to\"")" ]'
  phone_killed bob
  phone_again bob
  # Once the second poke is read, bob's poller has listed the earlier call's invite too.
  poke
  poke
  check "the restarted bob printed no ring and showed no incoming call" not grep -qE '"event":"ring"|"callState":"Incoming"' "${p_out[bob]}"
  history_of bob
  check "bob's history is what it was before the kill ($history)" [ "$history" = "$before" ]
  talk bob
}
# Each poke pays bob and the fee address, bob's key opens it, alice's signed it, carol's opens nothing.
events_on_chain() {
  scenario=events
  local p
  for p in "${pokes[@]}"; do
    (cd "$here/../interop" && "$node" open_events.mjs "$root/alice/Orvane/dialo/phone.json" alice "${p_address[alice]}" \
      "${p_address[bob]}" "${p_mnemonic[bob]}" "$carol_phrase" "${p% *}" "${p#* }:hangup") >"$root/open.out" 2>&1
    rc=$?
    check "open_events.mjs: ${p#* } read back, opened by bob and verified ($(tail -n 20 "$root/open.out"))" [ "$rc" -eq 0 ]
  done
}
t_start=$(now_ms)
p_network[alice]="\"event_fee_address\":\"$event_fee_address\""
setup alice bob
answered
refused
answer_phone on "3 to 9" 2
answer_phone off ten 3
restarted
events_on_chain
all_quit
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

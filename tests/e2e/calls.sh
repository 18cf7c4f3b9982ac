#!/usr/bin/env bash
# Two phones calling each other on one local devnet: alice and bob, each with a funded wallet
# and a published handle in a data folder of its own, driven through their standard input.
# In turn: a call answered and ended by the caller; a ringing call ended by the callee; the
# answer-phone on (diverted after three rings) and off (ten rings, then the caller gives up); a
# blocked caller who never rings; bob killed between two calls, whose earlier call does not
# ring again after the restart while the next one rings and is answered; the events alice sent
# him meanwhile, read back from chain and opened with @bsv/sdk alone
# (tests/interop/open_events.mjs); and sends refused without a transaction.
# Usage: calls.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-node
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
node=${4:-}
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/two_phones.sh"
need_tools calls.sh curl
"$node" --version >/dev/null 2>&1 || { echo "calls.sh: node ('$node') does not run; run scripts/setup"; exit 1; }

# Not the built-in event fee address, so the phone must take the configured one.
event_fee_address=1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2
# A BIP39 test phrase whose key must open none of alice's events.
carol_phrase="letter advice cage absurd amount doctor acoustic avoid letter advice cage above"
pokes=()

# ---------------------------------------------------------------------------------------
# Bob's side of the checks.

# True when no line of this phone's output from line MARK on (up to the last one taken) is a
# ring or shows an incoming call.
quiet_since() {
  local keep=$seen
  seen=$(($1 - 1))
  if find_line '"event":"ring"' || find_line '"callState":"Incoming"'; then
    seen=$keep
    return 1
  fi
  seen=$keep
}

# The highest "Ringing  N" of this phone's lines from line $1 up to the last one taken.
rings_since() {
  sed -n "$1,${seen}p" "$out" | grep -oE '"statusText":"Ringing  [0-9]+"' | grep -oE '[0-9]+' | sort -n | tail -n1
}

# Txids bob's phone has acted on (and saved, so that a restart does not act on them again).
bob_handled() { grep -oE '"txid": *"[0-9a-f]{64}"' "$root/bob/Orvane/dialo/phone-bob.json" 2>/dev/null | grep -oE '[0-9a-f]{64}'; }
bob_handled_any() { grep -qxF -f <(printf '%s\n' "$@") <(bob_handled); }

# True when bob's phone has acted on at least N transactions paying him that are not in the
# list BEFORE.
handled_since() {
  local n
  n=$(grep -vxF -f <(printf '%s\n' "$1") <(paying "${p_address[bob]}") | grep -cxF -f <(bob_handled))
  [ "$n" -ge "$2" ]
}

# Satoshis the built-in call fee address has received, confirmed or not.
fee_received() {
  local b
  b=$(devnet_get /woc/v1/bsv/main/address/1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP/balance)
  echo $(($(json_number confirmed <<<"$b") + $(json_number unconfirmed <<<"$b")))
}

# ---------------------------------------------------------------------------------------

# a. alice calls, bob answers, alice hangs up.
answered() {
  scenario=answered
  local t0
  t0=$(now_ms)
  use alice
  send "call bob"
  saw bob "rings as Incoming from alice" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"' \
    '"peerHandle":"alice"' '"statusText":"Incoming call."'
  next_event "bob prints ring" ring 30
  echo "  answered: bob rings $(since) s after alice's call"
  saw alice "shows the call ringing out" 30 '"callState":"Calling"' '"caption":"Calling  bob"' '"statusText":"Ringing  '
  use bob
  send answer
  saw bob "is talking" 60 '"callState":"Talking"' '"statusText":"Connected."'
  saw alice "is talking once bob's accept arrives" 60 '"callState":"Talking"' '"statusText":"Connected."'
  echo "  answered: both talking $(since) s after alice's call"
  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."' '"caption":""'
  saw bob "sees alice hang up" 60 '"callState":"Idle"' '"statusText":"They hung up."' '"caption":""'
  echo "  answered: both idle $(since) s after alice's call"

  history_of alice
  check "alice's history holds one call, talked, from alice to bob, paid and with its first txid ($history)" \
    matches "$history" '^\{"calls":\[\{"from":"alice","id":"","missed":false,"sats":[1-9][0-9]*,"secs":[0-9]+,"to":"bob","ts":[0-9]+,"txid":"[0-9a-f]{64}"\}\],"event":"history"\}$'
  # The answering side records the call too, as taken from alice, with what answering cost it.
  history_of bob
  check "bob's history holds one call, talked, from alice to bob, paid ($history)" \
    matches "$history" '^\{"calls":\[\{"from":"alice","id":"","missed":false,"sats":[1-9][0-9]*,"secs":[0-9]+,"to":"bob","ts":[0-9]+,"txid":"[0-9a-f]{64}"\}\],"event":"history"\}$'
}

# b. bob hangs up while it rings. The update site asks twice the penny alice's ceiling allows:
# no fee is paid, and her status line says so.
refused() {
  scenario=refused
  local t0 fees
  fees=$(fee_received)
  devnet_post /devnet/settings '{"gbp":20}' >/dev/null
  t0=$(now_ms)
  use alice
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  saw alice "skips a call fee above her ceiling" 60 '"statusText":"Call fee not paid: the rate asks 50000 sats, more than the limit of 30000."'
  use bob
  send hangup
  saw bob "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."'
  saw alice "hears that bob hung up" 60 '"callState":"Idle"' '"statusText":"They hung up."' '"caption":""'
  echo "  refused: alice idle $(since) s after her call"
  devnet_post /devnet/settings '{"gbp":40}' >/dev/null
  check "the call fee address was paid nothing ($fees sats before, $(fee_received) after)" [ "$(fee_received)" = "$fees" ]
  history_of bob
  check "bob's history adds one call, missed, from alice to bob ($history)" \
    matches "$history" '^\{"calls":\[\{[^{}]*"missed":false[^{}]*\},\{"from":"alice","id":"[0-9a-f]{16}","missed":true,[^{}]*"to":"bob",[^{}]*\}\],"event":"history"\}$'
}

# c. The answer-phone on, then off; alice records nothing and hangs up.
answer_phone() {
  scenario=answer-phone
  local t0 mark rings
  use bob
  send "answer-phone on"
  expect "bob turns the answer-phone on" '{"changed":true,"event":"answer-phone"}'
  t0=$(now_ms)
  use alice
  mark=$((seen + 1))
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  saw bob "sends alice to the answer-phone" 60 '"callState":"Idle"' '"statusText":"Sent them to answer-phone."'
  echo "  answer-phone on: bob diverts $(since) s after alice's call"
  saw alice "is asked to leave a message" 60 '"callState":"LeavingMessage"' '"statusText":"Leave a message."'
  rings=$(rings_since "$mark")
  echo "  answer-phone on: alice leaves a message $(since) s after her call, after ${rings:-no} rings"
  # Three rings after the divert at the least; how many came before it depends on the machine.
  check "alice heard from 3 to 9 rings, not all ten (got ${rings:-none})" between "${rings:-0}" 2 10
  use alice
  send hangup
  saw alice "ends with nothing recorded" 60 '"callState":"Idle"' '"statusText":"No message to leave."' '"caption":""'
  history_of bob
  check "bob records the diverted call as missed ($history)" [ "$(records '"missed":true')" -eq 2 ]

  use bob
  send "answer-phone off"
  expect "bob turns the answer-phone off" '{"changed":true,"event":"answer-phone"}'
  t0=$(now_ms)
  use alice
  mark=$((seen + 1))
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  saw alice "is asked to leave a message" 90 '"callState":"LeavingMessage"' '"statusText":"Leave a message."'
  rings=$(rings_since "$mark")
  echo "  answer-phone off: alice leaves a message $(since) s after her call, after ${rings:-no} rings"
  check "alice heard ten rings (got ${rings:-none})" [ "${rings:-0}" = 10 ]
  send hangup
  saw alice "ends with nothing recorded" 60 '"callState":"Idle"' '"statusText":"No message to leave."' '"caption":""'
  # Giving up without a message still ends the call on bob's side, or it would ring on as busy.
  saw bob "is told the call ended" 60 '"callState":"Idle"' '"statusText":"They hung up."'
  history_of bob
  check "bob records the unanswered call as missed ($history)" [ "$(records '"missed":true')" -eq 3 ]
}

# d. A blocked caller's invite and hang-up reach bob, who acts on them without ringing.
blocked() {
  scenario=blocked
  local t0 mark before
  use bob
  send "block alice"
  expect "bob blocks alice" '{"changed":true,"event":"block"}'
  mark=$seen
  before=$(paying "${p_address[bob]}")
  t0=$(now_ms)
  use alice
  send "call bob"
  saw alice "has sent the invite and rings out" 60 '"callState":"Calling"' '"statusText":"Ringing  1"'
  check "alice has paid for the invite ($line)" not grep -qF '"callSats":0,' <<<"$line"
  # On chain, paying bob, and read by bob's phone, which saves what it acted on.
  check "bob's phone has acted on alice's invite" wait_until 90 handled_since "$before" 1
  echo "  blocked: bob has read the invite $(since) s after alice's call"
  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."'
  # The hang-up was read after the invite, so anything the invite made bob print is out by now.
  check "bob's phone has acted on alice's hang-up" wait_until 90 handled_since "$before" 2
  use bob
  check "bob printed no ring and never showed an incoming call" quiet_since "$((mark + 1))"
  status_is "bob is idle" '"callState":"Idle"'
  send "unblock alice"
  expect "bob unblocks alice" '{"changed":true,"event":"unblock"}'
}

# One whole call: alice calls, bob answers, then $1 hangs up.
talk() {
  local ender=$1 other
  [ "$ender" = alice ] && other=bob || other=alice
  use alice
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  next_event "bob prints ring" ring 30
  use bob
  send answer
  saw alice "is talking" 60 '"callState":"Talking"'
  saw bob "is talking" 60 '"callState":"Talking"'
  use "$ender"
  send hangup
  saw "$ender" "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."'
  saw "$other" "hears the hang-up" 60 '"callState":"Idle"' '"statusText":"They hung up."'
}

# Alice sends bob an event of no call; true once bob's phone has acted on it. Each poke is
# kept as "ID TXID" for the chain's reading.
poke() {
  local id txid
  id=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
  use alice
  send "send bob hangup $id"
  next_event "alice's poke" send 120
  check "alice's poke is sent ($line)" \
    matches "$line" '^\{"event":"send","hold":false,"sent":true,"status":"","txid":"([0-9a-f]{64})"\}$'
  txid=${BASH_REMATCH[1]}
  pokes+=("$id $txid")
  check "bob's phone acts on the poke" wait_until 90 bob_handled_any "$txid"
}

# e. bob is killed between two calls.
restarted() {
  scenario=restarted
  local t0 before
  t0=$(now_ms)
  talk alice
  echo "  restarted: first call done $(since) s"
  history_of bob
  before=$history
  phone_killed bob
  phone_up bob
  saw bob "binds its wallet again" 60 '"connected":true' '"ownHandle":"bob"'
  # Two events after the restart, each read once the one before was: by then bob's poller has
  # listed everything paid to bob, the earlier call's invite among it.
  poke
  poke
  use bob
  seen=$(wc -l <"$out")
  check "the restarted bob printed no ring and showed no incoming call" quiet_since 1
  history_of bob
  check "bob's history is what it was before the kill ($history)" [ "$history" = "$before" ]
  echo "  restarted: bob back and quiet $(since) s"
  talk bob
  echo "  restarted: second call done $(since) s"
}

# f. The pokes read back through the devnet: bob and the configured fee address are paid 1
# satoshi each, bob's key (from his phrase, by the SDK) opens them, alice's published key
# signed them, carol's opens nothing.
events_on_chain() {
  scenario=events
  local p rc
  for p in "${pokes[@]}"; do
    (cd "$(dirname "${BASH_SOURCE[0]}")/../interop" && "$node" open_events.mjs "$root/alice/Orvane/dialo/phone.json" \
      alice "${p_address[alice]}" "${p_address[bob]}" "${p_mnemonic[bob]}" "$carol_phrase" "${p% *}" "${p#* }:hangup") \
      >"$root/open.out" 2>&1
    rc=$?
    check "open_events.mjs: ${p#* } read back, opened by bob and verified ($(tail -n 20 "$root/open.out"))" [ "$rc" -eq 0 ]
  done
}

# g. Sends that cannot go pay nothing: an unknown handle, and no wallet.
refused_sends() {
  scenario=refused-sends
  local before
  before=$(paying "${p_address[bob]}" | wc -l)
  use alice
  ask "resolving an unknown handle fails" "resolve nosuchhandle" \
    '{"address":"","error":"could not resolve nosuchhandle@orvane.test","event":"resolve"}' 60
  ask "a send to it answers the resolution's error" "send nosuchhandle invite" \
    '{"event":"send","hold":false,"sent":false,"status":"could not resolve nosuchhandle@orvane.test","txid":""}' 120
  ask "disconnect succeeds" disconnect '{"event":"disconnect","result":"success"}'
  send "send bob invite"
  next_event "a send without a wallet" send 120
  check "a send without a wallet is refused with a status ($line)" \
    matches "$line" '^\{"event":"send","hold":false,"sent":false,"status":"[^"]+","txid":""\}$'
  check "the refused sends paid bob nothing" [ "$(paying "${p_address[bob]}" | wc -l)" -eq "$before" ]
}

calls() {
  p_network[alice]="\"max_call_fee_sats\":30000,\"event_fee_address\":\"$event_fee_address\""
  setup alice bob
  answered
  refused
  answer_phone
  blocked
  restarted
  events_on_chain
  refused_sends
  all_quit
}

t_start=$(now_ms)
calls
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

#!/usr/bin/env bash
# How calls end when a side goes away, on one local devnet with alice and bob (each a funded
# wallet, a published handle and a dialo-phone driven through a fifo):
#   a. alice's phone is ended in the middle of a call, once by `quit` and once by the end of its
#      input: it exits by itself, bob is told they hung up, and both histories keep the call;
#   b. alice and bob call each other at the same moment: both end talking on one call (the lower
#      call id; the other side answers it), never on two calls, never one talking alone for long;
#   c. alice's phone is killed while bob's rings (his answer-phone off): bob rings on for a
#      while, then gives up by himself once the invite is too old, and counts a missed call.
# Usage: call_ends.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/two_phones.sh"
command -v curl >/dev/null || { echo "call_ends.sh: curl is needed to read the devnet's answers"; exit 1; }

# ---------------------------------------------------------------------------------------
# Helpers.

# True when WHO's history holds at least N records with every TEXT ($history keeps it).
history_reaches() {
  local who=$1 n=$2
  shift 2
  history_of "$who"
  [ "$(records "$@")" -ge "$n" ]
}

# WHO's history comes to hold exactly one more record with every TEXT than BEFORE.
one_more() {
  local who=$1 before=$2
  shift 2
  check "$who's history gains a call ($*)" wait_until 10 history_reaches "$who" $((before + 1)) "$@"
  check "$who's history holds one more such call ($before, now $(records "$@"))" [ "$(records "$@")" -eq $((before + 1)) ]
}

# Asks WHO to wait up to SECONDS for STATE; true when the answer says it came ($line keeps it).
waited() {
  local who=$1 state=$2 seconds=$3
  use "$who"
  send "wait $state $seconds"
  next_event "$who waits for $state" wait $((seconds + 15))
  grep -qF '"ok":true' <<<"$line"
}

# Both phones reach STATE within SECONDS.
both_reach() {
  local state=$1 seconds=$2 who
  use alice
  send "wait $state $seconds"
  use bob
  send "wait $state $seconds"
  for who in alice bob; do
    use "$who"
    next_event "$who waits for $state" wait $((seconds + 15))
    check "$who is $state within $seconds s ($line)" grep -qF '"ok":true' <<<"$line"
  done
}

# WHO's call state and call id from a fresh status line, in $st_state and $st_id.
state_of() {
  use "$1"
  send status
  next_event "$1's status" status
  st_state=$(json_text callState <<<"$line")
  st_id=$(json_text callId <<<"$line")
}

# True when WHO has printed, after the last line taken, a refresh line with a call state other
# than Idle (its call placed, or the other's ringing); takes it.
left_idle() {
  local n
  use "$1"
  n=$(head -n "$(wc -l <"$out")" "$out" | tail -n +"$((seen + 1))" |
    grep -nE '"event":"refresh"' | grep -E '"callState":"(Calling|Incoming|Talking|LeavingMessage)"' |
    head -n1 | cut -d: -f1)
  [ -n "$n" ] || return 1
  seen=$((seen + n))
  line=$(sed -n "${seen}p" "$out")
}

# The distinct call ids of the Talking refresh lines of WHO's output from line FROM on.
talking_ids() {
  local who=$1 from=$2
  tail -n +"$from" "${p_out[$who]}" | grep -F '"event":"refresh"' | grep -F '"callState":"Talking"' |
    grep -oE '"callId":"[^"]*"' | cut -d'"' -f4 | sort -u
}

# ---------------------------------------------------------------------------------------

# a. alice's phone goes away mid-call: HOW is quit (the command) or eof (its input closed).
leaves_mid_call() {
  local how=$1 t0 t_end a_before b_before code left idle_at
  scenario="ends by $how"
  history_of alice
  a_before=$(records '"from":"alice"' '"to":"bob"' '"missed":false')
  history_of bob
  b_before=$(records '"from":"alice"' '"to":"bob"' '"missed":false')

  t0=$(now_ms)
  use alice
  send "call bob"
  saw bob "rings as Incoming from alice" 60 '"callState":"Incoming"' '"peerHandle":"alice"'
  use bob
  send answer
  both_reach Talking 60
  echo "  $scenario: both talking $(since "$t0") s after alice's call"

  use alice
  t_end=$(now_ms)
  if [ "$how" = quit ]; then
    send quit
  else
    # Only this script holds the fifo's writing end (alice's phone was started after bob's), so
    # closing it is the end of alice's input.
    closed alice
  fi
  # The hang-up waits up to 3 s; threads still inside the network get up to 10 s more.
  if ! wait_until 15 phone_ended; then
    fail "alice's phone is still running 15 s after $how in a call"
  fi
  wait "$phone_pid"
  code=$?
  [ "$how" = eof ] || closed alice
  p_pid[alice]=""
  phone_pid=""
  check "alice's phone ended by itself $(since "$t_end") s after $how in a call, exit code $code" [ "$code" -eq 0 ]

  left=$(((t_end + 20000 - $(now_ms) + 999) / 1000))
  ((left >= 1)) || left=1
  saw bob "is idle, told they hung up" "$left" '"event":"refresh"' '"callState":"Idle"' '"statusText":"They hung up."'
  idle_at=$(since "$t_end")
  check "bob idle with \"They hung up.\" $idle_at s after alice's $how" true

  one_more bob "$b_before" '"from":"alice"' '"to":"bob"' '"missed":false'

  phone_up alice
  saw alice "binds its wallet again" 60 '"connected":true' '"ownHandle":"alice"'
  one_more alice "$a_before" '"from":"alice"' '"to":"bob"' '"missed":false'
}

# b. Each calls the other at the same moment.
both_call() {
  scenario="both call"
  local t0 deadline grace=30000 settle=3000 agreed="" agreed_since=0 alone_since=0 now
  local a_mark b_mark a_state a_id ids
  state_of alice
  check "alice is idle before ($st_state)" [ "$st_state" = Idle ]
  state_of bob
  check "bob is idle before ($st_state)" [ "$st_state" = Idle ]
  use alice
  a_mark=$((seen + 1))
  use bob
  b_mark=$((seen + 1))

  t0=$(now_ms)
  use alice
  send "call bob"
  use bob
  send "call alice"
  check "alice leaves Idle after calling bob" wait_until 30 left_idle alice
  check "bob leaves Idle after calling alice" wait_until 30 left_idle bob

  # Both talking on one call id, or both idle, held for a few seconds; one talking alone only
  # for a grace period; two call ids talking at once never.
  deadline=$((t0 + 60000))
  while :; do
    state_of alice
    a_state=$st_state a_id=$st_id
    state_of bob
    now=$(now_ms)
    if [ "$a_state" = Talking ] && [ "$st_state" = Talking ]; then
      [ "$a_id" = "$st_id" ] || fail "talking on two calls: alice on '$a_id', bob on '$st_id'"
      [ -n "$a_id" ] || fail "both talking, but the status carries no callId ($line)"
      [ "$agreed" = "Talking $a_id" ] || { agreed="Talking $a_id" agreed_since=$now; }
    elif [ "$a_state" = Idle ] && [ "$st_state" = Idle ]; then
      [ "$agreed" = Idle ] || { agreed=Idle agreed_since=$now; }
    else
      agreed=""
    fi
    if [ "$a_state" = Talking ] || [ "$st_state" = Talking ]; then
      if [ "$a_state" != "$st_state" ]; then
        ((alone_since > 0)) || alone_since=$now
        ((now - alone_since <= grace)) ||
          fail "one talking alone for over $((grace / 1000)) s: alice $a_state '$a_id', bob $st_state '$st_id'"
      else
        alone_since=0
      fi
    else
      alone_since=0
    fi
    [ -n "$agreed" ] && ((now - agreed_since >= settle)) && break
    ((now < deadline)) ||
      fail "no agreement within 60 s of the two calls: alice $a_state '$a_id', bob $st_state '$st_id'"
    sleep 0.25
  done
  # The lower id wins and the other side answers it: the two calls become one talked call.
  check "both end talking on one call ($agreed) $(since "$t0") s after the two calls" [ "${agreed% *}" = Talking ]

  # Between the polls too: every Talking line of both phones names one call id at most.
  ids=$( (talking_ids alice "$a_mark"; talking_ids bob "$b_mark") | sort -u)
  check "no Talking line of either phone names a second call id ($(wc -w <<<"$ids") id(s))" \
    [ "$(wc -w <<<"$ids")" -le 1 ]

  if [ "${agreed% *}" = Talking ]; then
    use alice
    send hangup
  fi
  both_reach Idle 60
  check "both idle $(since "$t0") s after the two calls" true
}

# c. alice's phone is killed while bob's rings.
caller_killed() {
  scenario="caller killed"
  local t0 t_kill b_before mark after states idle_s
  use bob
  send "answer-phone off"
  next_event "bob turns the answer-phone off" answer-phone
  history_of bob
  b_before=$(records '"from":"alice"' '"missed":true')

  t0=$(now_ms)
  use alice
  send "call bob"
  saw bob "rings as Incoming from alice" 60 '"event":"refresh"' '"callState":"Incoming"' '"peerHandle":"alice"'
  mark=$seen
  phone_killed alice
  t_kill=$(now_ms)
  echo "  $scenario: alice's phone killed $(since "$t0") s after her call, bob ringing"

  use bob
  check "bob goes idle by himself within 260 s" waited bob Idle 260
  idle_s=$((($(now_ms) - t0) / 1000))
  echo "  $scenario: bob idle $(since "$t0") s after alice's call ($(since "$t_kill") s after the kill)"
  # Until then he rang on: nothing but Incoming between his ringing and his first Idle line
  # (which may be printed just before or just after the wait's answer).
  seen=$mark
  saw bob "shows the call ended" 10 '"event":"refresh"' '"callState":"Idle"'
  after=$(sed -n "$((mark + 1)),${seen}p" "$out" | grep -F '"event":"refresh"')
  states=$(grep -oE '"callState":"[A-Za-z]+"' <<<"$after" | cut -d'"' -f4 | uniq | tr '\n' ' ')
  check "bob rang on until he gave up (states: ${states% })" matches "${states% }" '^(Incoming )*Idle$'
  check "bob stayed Incoming at least 60 s after the call (idle after $idle_s s)" [ "$idle_s" -ge 60 ]
  check "bob gave up no later than 240 s after the call (idle after $idle_s s)" [ "$idle_s" -le 240 ]

  one_more bob "$b_before" '"from":"alice"' '"missed":true'
}

call_ends() {
  setup alice bob
  echo "  setup: devnet, wallets and both phones ready in $(since "$t_start") s"
  leaves_mid_call quit
  leaves_mid_call eof
  both_call
  caller_killed
  all_quit
}

t_start=$(now_ms)
call_ends
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

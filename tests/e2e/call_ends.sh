#!/usr/bin/env bash
# alice's phone ended mid-call by quit and by end of input (bob told, histories kept); alice
# killed while bob rings (he gives up, a missed call). Calling at once is dispatch_test's.
# Usage: call_ends.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1 vaultra=$2 devnet=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_tools call_ends.sh curl
# WHO's history comes to hold exactly one more record with every TEXT than BEFORE.
history_reaches() { history_of "$1"; [ "$(records "${@:3}")" -ge "$2" ]; }
one_more() {
  check "$1's history gains a call (${*:3})" wait_until 10 history_reaches "$1" $(($2 + 1)) "${@:3}"
  check "$1's history holds one more such call" [ "$(records "${@:3}")" -eq $(($2 + 1)) ]
}
waited() { answer "$1" "wait $2 $3" wait $(($3 + 15)); grep -qF '"ok":true' <<<"$line"; }
both_reach() {
  use alice
  send "wait $1 $2"
  use bob
  send "wait $1 $2"
  for who in alice bob; do
    use "$who"
    next_event "$who waits for $1" wait $(($2 + 15))
    check "$who is $1 within $2 s ($line)" grep -qF '"ok":true' <<<"$line"
  done
}
leaves_mid_call() {
  local how=$1 t_end left a_before b_before talked=('"from":"alice"' '"to":"bob"' '"missed":false')
  scenario="ends by $how"
  history_of alice
  a_before=$(records "${talked[@]}")
  history_of bob
  b_before=$(records "${talked[@]}")
  use alice
  send "call bob"
  saw bob "rings as Incoming from alice" 60 '"callState":"Incoming"' '"peerHandle":"alice"'
  send answer
  both_reach Talking 60
  use alice
  t_end=$(now_ms)
  # Only this script holds the fifo's writing end, so closing it is the end of alice's input.
  if [ "$how" = quit ]; then send quit; fi
  closed alice
  # The hang-up waits up to 3 s; threads still inside the network get up to 10 s more.
  phone_gone alice 15 0
  left=$(((t_end + 20000 - $(now_ms) + 999) / 1000))
  saw bob "is idle, told they hung up within 20 s of alice's $how" $((left > 1 ? left : 1)) \
    '"event":"refresh"' '"callState":"Idle"' '"statusText":"They hung up."'
  one_more bob "$b_before" "${talked[@]}"
  phone_again alice
  one_more alice "$a_before" "${talked[@]}"
}
caller_killed() {
  scenario="caller killed"
  local t0 b_before mark states idle_s
  answer bob "answer-phone off"
  history_of bob
  b_before=$(records '"from":"alice"' '"missed":true')
  t0=$(now_ms)
  use alice
  send "call bob"
  saw bob "rings as Incoming from alice" 60 '"event":"refresh"' '"callState":"Incoming"' '"peerHandle":"alice"'
  mark=$seen
  phone_killed alice
  check "bob goes idle by himself within 260 s" waited bob Idle 260
  idle_s=$((($(now_ms) - t0) / 1000))
  # He rang on until then; his first Idle line may come just before or after the wait's answer.
  seen=$mark
  saw bob "shows the call ended" 10 '"event":"refresh"' '"callState":"Idle"'
  states=$(sed -n "$((mark + 1)),${seen}p" "$out" | grep -F '"event":"refresh"' | grep -oE '"callState":"[A-Za-z]+"' | cut -d'"' -f4 | uniq | tr '\n' ' ')
  check "bob rang on until he gave up (states: $states)" matches "$states" '^(Incoming )*Idle $'
  check "bob gave up between 60 and 240 s after the call (after $idle_s s)" eval '((idle_s >= 60 && idle_s <= 240))'
  one_more bob "$b_before" '"from":"alice"' '"missed":true'
}
t_start=$(now_ms)
setup alice bob
leaves_mid_call quit
leaves_mid_call eof
caller_killed
all_quit
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

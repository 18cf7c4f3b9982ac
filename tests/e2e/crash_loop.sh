#!/usr/bin/env bash
# First alice spends 100 payloads in a row (texts of every push size, some to a second payee),
# her phone killed once between two and once while the devnet holds one's broadcast: each is
# read back from the ledger with its text, its payees and the cost it answered, and the held
# one landed though no answer named it; then a plain payment, and her handle kept from a second
# wallet that claims it too. Then dialo-phone is killed with SIGKILL 200 times and started again
# each time, on one local devnet
# with two phones, alice and bob (funded wallets, published handles, WAV-file sound):
#   calls:  alice calls bob, both answer and speak (espeak-ng speech); one of them is killed a
#           random moment after it has sent live voice; the other hangs up.
#   spends: alice is sent one to three payloads, payments or splits and is killed a random
#           moment after the first has answered, while the rest run; or, one time in four, a
#           moment after a payload's broadcast reached the devnet, which holds it.
#   store:  alice leaves bob a message (a tape event) while bob is sent a few of save, delete,
#           contact-add, answer-phone, notify, volume, block and unblock; bob is killed a random
#           moment after the first of them answered, or after alice's message went out.
# Every kill moment is a random delay after something the test saw; the seed is printed and
# CRASH_SEED=N replays the same choices (CRASH_KILLS=N runs fewer kills while developing).
# After every kill and every restart: every JSON file in the phone's data folder (store, wallet,
# snapshots) parses with Python's json, none was kept aside as unreadable, and no temporary
# file of a dead phone is left; the restarted phone binds its wallet and loads its store (its
# answer-phone switch is the file's, its call history at least as long). For bob, every message once seen saved (in his file after
# a kill, or listed by the phone) is still listed after every restart unless the test deleted
# it, and a deleted one never comes back. At the end: every message alice's phone sent arrived,
# the devnet's ledger (its raw transactions parsed here) spends no outpoint twice, and each
# wallet's balance after a refresh is what the ledger leaves unspent at its addresses.
# Usage: crash_loop.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
source "$here/two_phones.sh"
need_tools crash_loop.sh curl espeak-ng ffmpeg python3

seed=${CRASH_SEED:-$(($(date +%s%N) % 1000000))}
RANDOM=$seed
kills_wanted=${CRASH_KILLS:-200}
echo "crash_loop: seed $seed (CRASH_SEED=$seed replays it), $kills_wanted kills"
# The interpreter itself, not a wrapper that finds it: it runs several times per kill.
py=$(python3 -c 'import sys; print(sys.executable)')
check_py="$py $here/crash_check.py"

# A block every few seconds: split coins become ready while the loop runs.
block_interval=3

declare -A kills=([calls]=0 [spends]=0 [store]=0)
declare -A tracked=()       # message id -> 1: seen saved, must be listed until deleted
declare -A deleting=()      # ids the test asked to delete (maybe gone, maybe not)
declare -A deleted=()       # ids whose delete was answered: never listed again
declare -A id_txid=()       # message id -> the txid it came in
declare -A bob_ap=()        # bob's answer-phone as last read from his file
inbox_now="" held_kills=0 files_read=0
stale_calls=0 restarts=0 temps_cleared=0 tapes_sent=0 store_checks=0 stray_rings=0 spend_answers=0 spend_errors=0 holds=0
total_kills=0 tape_n=0 found_after=0

# One random whole number in [0, $1).
rnd() { echo $((RANDOM % $1)); }
# Sleeps a random number of milliseconds below $1: the kill moment after an observed condition.
pause_ms() { sleep "$(printf '0.%03d' "$(rnd "$1")")"; }

fail_seed() { fail "$* (seed $seed)"; }

# ---------------------------------------------------------------------------------------
# The files a phone left behind.

# Reads WHO's data folder with Python: f_unreadable, f_aside, f_temps (FILE:PID), f_inbox,
# f_saved, f_tomb (words) and f_answerphone.
read_files() {
  local vars
  vars=$(CRASH_CHECK_SHELL=1 $py "$here/crash_check.py" files "$root/$1/Orvane" "$1") ||
    fail_seed "crash_check.py could not read $1's folder"
  eval "$vars"
}

# Every JSON file parses and none was kept aside; temporary files only of the living phone (pid
# $2; "killed" right after a kill, when the dead phone's may still be there).
files_sound() {
  local who=$1 alive=${2:-} t temps=""
  read_files "$who"
  files_read=$((files_read + f_count))
  check "$who: every JSON file parses (${f_unreadable:-ok})" [ -z "$f_unreadable" ]
  check "$who: nothing was kept aside as unreadable (${f_aside:-none})" [ -z "$f_aside" ]
  [ "$alive" != killed ] || return 0
  for t in $f_temps; do [ "${t##*:}" = "$alive" ] || temps+=" $t"; done
  check "$who: no temporary file of a dead phone is left (${temps:- none})" [ -z "$temps" ]
}

# Bob's store file after a kill: what was saved before is still there; what it holds now is saved.
bob_file_after_kill() {
  local id missing="" present
  present=" $f_inbox $f_saved "
  for id in "${!tracked[@]}"; do
    [[ $present == *" $id "* ]] || missing+=" $id"
  done
  check "bob's file still holds every message saved before (missing:${missing:- none})" [ -z "$missing" ]
  for id in $present; do
    [ -n "${deleting[$id]:-}" ] || tracked[$id]=1
  done
  for id in "${!deleted[@]}"; do
    [[ $present != *" $id "* ]] || fail_seed "bob's file lists $id, deleted before"
  done
  bob_ap=$f_answerphone
}

# Bob's inbox and saved messages, one line after the other, in $listed.
bob_listing() {
  use bob
  send inbox
  next_event "bob's inbox" inbox 30
  listed=$line
  send saved
  next_event "bob's saved messages" saved 30
  listed+=$line
}

# Bob's phone lists every tracked message and no deleted one; the ids it lists are tracked too.
bob_lists() {
  local listed id missing=""
  bob_listing
  # Messages still in the inbox, not yet saved: the ones a save can take.
  inbox_now=$(sed 's/"event":"saved".*//' <<<"$listed" | grep -oE '"heard":false,"id":"[^"]*"' | cut -d'"' -f6 | tr '\n' ' ')
  while read -r id tx; do
    [ -n "$id" ] || continue
    id_txid[$id]=$tx
    [ -n "${deleting[$id]:-}" ] || tracked[$id]=1
    [ -z "${deleted[$id]:-}" ] || fail_seed "bob's phone lists $id, deleted before"
  done <<<"$(grep -oE '"id":"[^"]*"[^}]*"txid":"[0-9a-f]*"' <<<"$listed" | sed -E 's/"id":"([^"]*)".*"txid":"([0-9a-f]*)"/\1 \2/')"
  for id in "${!tracked[@]}"; do
    grep -qF "\"id\":\"$id\"" <<<"$listed" || missing+=" $id"
  done
  check "bob's phone lists every message saved before (missing:${missing:- none})" [ -z "$missing" ]
  store_checks=$((store_checks + 1))
  found_after=${#tracked[@]}
}

# ---------------------------------------------------------------------------------------
# Kills and restarts.

# SIGKILL to WHO's phone in PHASE, the checks of its files, a restart and the checks of the
# phone it became.
crash() {
  local who=$1 phase=$2 pid
  phone_killed "$who"
  kills[$phase]=$((kills[$phase] + 1))
  total_kills=$((total_kills + 1))
  files_sound "$who" killed
  local t calls_before=$f_calls
  for t in $f_temps; do temps_cleared=$((temps_cleared + 1)); done
  [ "$who" != bob ] || bob_file_after_kill
  phone_up "$who"
  restarts=$((restarts + 1))
  saw "$who" "binds its wallet again after kill $total_kills" 60 '"connected":true' "\"ownHandle\":\"$who\""
  use "$who"
  # The balance needs the wallet file loaded, and the load clears what a killed phone left.
  send balance
  next_event "$who's balance" balance 60
  pid=$(phone_process)
  files_sound "$who" "$pid"
  # The history as the file had it, or longer: the store was loaded, not started afresh.
  send history
  next_event "$who's history" history 30
  t=$(grep -o '"from"' <<<"$line" | wc -l)
  check "restarted $who lists the $calls_before calls of its file, or more (got $t)" [ "$t" -ge "$calls_before" ]
  if [ "$who" = bob ]; then
    bob_lists
    # The switch as the file had it: the phone loaded it rather than starting from defaults.
    if [ "$bob_ap" = True ]; then send "answer-phone on"; else send "answer-phone off"; fi
    next_event "bob's answer-phone" answer-phone
    check "restarted bob's answer-phone is the file's ($bob_ap; $line)" matches "$line" '"changed":false'
  fi
  printf '\r  %d kills (calls %d, spends %d, store %d)   ' "$total_kills" "${kills[calls]}" "${kills[spends]}" "${kills[store]}"
}

# A phone that rings again after a restart (a call it acted on before) is hung up and counted.
idle() {
  local who=$1
  use "$who"
  send status
  next_event "$who's status" status
  if ! grep -qF '"callState":"Idle"' <<<"$line"; then
    stray_rings=$((stray_rings + 1))
    send hangup
    saw "$who" "is idle again" 60 '"callState":"Idle"'
  fi
}

# ---------------------------------------------------------------------------------------
# The three kinds of cycle.

call_cycle() {
  local victim survivor
  if (($(rnd 2))); then victim=alice survivor=bob; else victim=bob survivor=alice; fi
  idle alice
  idle bob
  use bob
  # Diverted to the answer-phone, a call would not reach Talking before the answer.
  send "answer-phone off"
  next_event "bob's answer-phone off" answer-phone
  use alice
  place_call_to_bob
  saw bob "rings" 60 '"callState":"Incoming"'
  use bob
  send answer
  saw bob "talks" 60 '"callState":"Talking"'
  saw alice "talks" 60 '"callState":"Talking"'
  saw "$victim" "sends voice" 60 '"event":"audio-sent"'
  pause_ms 1500
  crash "$victim" calls
  use "$survivor"
  send hangup
  saw "$survivor" "hangs up" 60 '"callState":"Idle"'
}

# After a kill while the devnet held a broadcast, the restarted phone may still offer a coin
# that transaction spent (the network did not know it yet at the restart). The invite then
# fails with "Missing inputs" and the phone forgets the coin; the call is placed again, as a
# user would, and counted. Anything else that keeps bob from ringing fails the test.
# call_settled FROM: bob rings (outcome=rang), or alice's call, placed after her line FROM,
# went back to Idle on a spent coin (outcome=stale).
call_settled() {
  if find_line_in bob "${p_seen[bob]}" '"callState":"Incoming"'; then outcome=rang; return 0; fi
  awk -v from="$1" 'NR > from && index($0, "\"callState\":\"Calling\"") { calling = 1 }
    calling && index($0, "\"callState\":\"Idle\"") && index($0, "Missing inputs") { found = 1; exit }
    END { exit !found }' "${p_out[alice]}" && outcome=stale
}
find_line_in() { tail -n +"$(($2 + 1))" "${p_out[$1]}" | grep -qF "$3"; }
place_call_to_bob() {
  local tries from
  for ((tries = 1; ; tries++)); do
    from=$(wc -l <"${p_out[alice]}")
    send "call bob"
    wait_until 60 call_settled "$from" || fail_seed "alice's call: bob did not ring within 60 s (last: $(tail -n1 "${p_out[alice]}"))"
    [ "$outcome" = rang ] && return
    ((tries < 3)) || fail_seed "alice's call failed $tries times on spent coins"
    stale_calls=$((stale_calls + 1))
  done
}

peer_address=1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH
second_address=1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP

# Payload text number $1: lengths from 1 to about 700 bytes (all three push sizes), words
# separated by blanks, now and then letters outside ASCII; never ends in a blank.
payload_text() {
  local i=$1 len=$((($1 * 97) % 700)) filler="the quick brown fox jumps over the lazy dog 0123456789 " t
  t="p$i "
  while ((${#t} < len)); do t+=$filler; done
  t=${t:0:len}
  ((i % 9 == 0)) && t+=" é ü ✓"
  printf '%s.' "$t"
}

# Alice's phone started again after a kill, bound to her wallet.
alice_again() {
  phone_up alice
  saw alice "binds its wallet again" 60 '"connected":true' '"ownHandle":"alice"'
}

payloads() {
  scenario=payloads
  local i n=100 kill_after=40 kill_during=70 cmd txid hex row
  local -a txids=() costs=() texts=()
  # The held one: a transaction to the payee that no answer named.
  held_tx() {
    txids[kill_during]=$($check_py paid "$ledger" "$peer_address" | grep -vxF -f <(printf '%s\n' "${txids[@]}" | grep .))
    matches "${txids[kill_during]}" '^[0-9a-f]{64}$'
  }
  use alice
  for ((i = 1; i <= n; i++)); do
    texts[i]=$(payload_text "$i")
    cmd="payload $peer_address ${texts[i]}"
    ((i % 5)) || cmd+=" $second_address"
    if ((i == kill_during)); then
      # Held 10 s, the broadcast has left the phone before the kill and lands after it.
      check "payload $i: a delay set on the devnet's broadcast route" hold /oi/submit 10000
      send "$cmd"
      check "payload $i: the broadcast reached the devnet" wait_until 20 no_fault_pending
      phone_killed alice
      check "payload $i: no answer came before the kill" not find_event payload
      # Restarted only once the devnet has it, or the phone could offer a coin it spent.
      check "payload $i: the devnet took it after the kill, once" wait_until 60 held_tx
      alice_again
      continue
    fi
    send "$cmd"
    next_event "payload $i" payload 60
    check "payload $i answers success, a txid and a cost ($line)" \
      matches "$(json_text result <<<"$line")" '^success: ([0-9a-f]{64}) ([0-9]+)$'
    txids[i]=${BASH_REMATCH[1]} costs[i]=${BASH_REMATCH[2]}
    ((i != kill_after)) || { phone_killed alice && alice_again; }
  done
  check "$n distinct txids" [ "$(printf '%s\n' "${txids[@]}" | sort -u | wc -l)" -eq "$n" ]
  $check_py tx "$ledger" "$peer_address,$second_address" "${txids[@]:1}" >"$root/payloads" ||
    fail "crash_check.py could not read the payloads"
  for ((i = 1; i <= n; i++)); do
    read -ra row <<<"$(sed -n "${i}p" "$root/payloads")"
    hex=$(printf '%s' "${texts[i]}" | od -An -v -tx1 | tr -d ' \n')
    check "payload $i is in the ledger and pays the payee 1 sat first (${row[*]:0:3})" [ "${row[2]:-}" = "1:$peer_address" ]
    if ((i % 5)); then
      check "payload $i pays the second address nothing" not grep -qF ":$second_address" <<<"${row[*]}"
    else
      check "payload $i pays the second address 1 sat next (${row[3]:-})" [ "${row[3]:-}" = "1:$second_address" ]
    fi
    check "payload $i carries its text in a data output" grep -qxF "0:$hex" <(printf '%s\n' "${row[@]}")
    [ -z "${costs[i]:-}" ] || check "payload $i costs what it answered: fee ${row[1]} + $((i % 5 ? 1 : 2)) (answered ${costs[i]})" \
      [ "${costs[i]}" -eq $((row[1] + (i % 5 ? 1 : 2))) ]
  done

  send "pay $peer_address 1000"
  next_event "pay" pay 60
  check "pay answers success and a txid ($line)" matches "$(json_text result <<<"$line")" '^success: ([0-9a-f]{64})$'
  check "pay sends 1000 sats to the payee" grep -qF " 1000:$peer_address" <($check_py tx "$ledger" "$peer_address" "${BASH_REMATCH[1]}")

  # A second wallet claims alice from another folder; the directory keeps the first.
  local reply
  mkdir -p "$root/mallory"
  configure mallory
  dir=$root/mallory
  v --json create --handle alice
  check "a second wallet claims alice (exit code $rc)" [ "$rc" -eq 0 ]
  dir=$root
  phone_up mallory
  send refresh
  next_event "the second phone's refresh" refresh-done 180
  quit_phone mallory
  reply=$(devnet_get "/api/bsvalias/address/alice@orvane.test")
  check "alice still resolves to her first wallet ($reply)" [ "$(json_text address <<<"$reply")" = "${p_address[alice]}" ]
  reply=$(devnet_get "/api/bsvalias/id/alice@orvane.test")
  check "alice keeps her first identity key ($reply)" [ "$(json_text pubkey <<<"$reply")" = "${p_identity_pub[alice]}" ]
}

spend_cycle() {
  local n i first="" cmd event
  use alice
  if (($(rnd 4) == 0)); then
    # The devnet holds the next broadcast a while: the kill lands after the transaction left the
    # phone and before the phone heard it was taken, the devnet taking it from a dead sender.
    hold /oi/submit $((500 + $(rnd 1500))) || fail_seed "the devnet took no fault"
    send "payload $peer_address held $total_kills"
    check "a broadcast reached the devnet" wait_until 60 no_fault_pending
    pause_ms 300
    held_kills=$((held_kills + 1))
    crash alice spends
    return
  fi
  n=$((1 + $(rnd 3)))
  for ((i = 0; i < n; i++)); do
    case $(rnd 10) in
      0) cmd="split" event=split ;;
      1) cmd="pay ${p_address[bob]} $((500 + $(rnd 500)))" event=pay ;;
      *) cmd="payload $peer_address crash loop $total_kills.$i $(head -c $(($(rnd 400) + 1)) /dev/zero | tr '\0' x)"
         event=payload
         (($(rnd 4))) || cmd+=" ${p_address[bob]}" ;;
    esac
    send "$cmd"
    [ -n "$first" ] || first=$event
  done
  next_event "alice's $first" "$first" 120
  pause_ms 400
  crash alice spends
}

store_cycle() {
  local n i k id cmd ids first="" event
  use alice
  tape_n=$((tape_n + 1))
  send "send bob tape $(printf '%08x%08x' "$seed" "$tape_n") $gsm"
  tapes_sent=$((tapes_sent + 1))
  use bob
  ids=("${!tracked[@]}")
  local -a unsaved
  read -ra unsaved <<<"$inbox_now"
  n=$((1 + $(rnd 3)))
  for ((i = 0; i < n; i++)); do
    k=$(rnd 20)
    id=""
    ((${#ids[@]} == 0)) || id=${ids[$(rnd ${#ids[@]})]}
    if ((k < 4)) && ((${#unsaved[@]} > 0)); then
      id=${unsaved[$(rnd ${#unsaved[@]})]}
      cmd="save $id" event=save
      # Saved now or not at all: it is not offered for a second save.
      inbox_now=${inbox_now/$id /}
      read -ra unsaved <<<"$inbox_now"
    elif ((k < 6)) && [ -n "$id" ]; then cmd="delete $id" event=delete; deleting[$id]=1; unset "tracked[$id]"
      inbox_now=${inbox_now/$id /}
      read -ra unsaved <<<"$inbox_now"
    elif ((k < 9)); then cmd="contact-add carol$((total_kills * 3 + i))@orvane.test crash" event=contact-add
    elif ((k < 12)); then cmd="answer-phone $( (($(rnd 2))) && echo on || echo off)" event=answer-phone
    elif ((k < 15)); then cmd="notify $(rnd 4)" event=notify
    elif ((k < 17)); then cmd="volume $(( (1 + $(rnd 4)) * 50 ))" event=volume
    elif ((k < 19)); then cmd="block dave$(rnd 5)" event=block
    else cmd="unblock dave$(rnd 5)" event=unblock
    fi
    send "$cmd"
    [ -n "$first" ] || first=$event
  done
  if (($(rnd 3) == 0)); then
    # The kill lands while bob may be taking the message in: after alice's send answered.
    use alice
    next_event "alice's message to bob" send 120
    pause_ms 1000
  else
    next_event "bob's $first" "$first" 60
    pause_ms 300
  fi
  # Deletes answered before the kill are certain.
  use bob
  while read -r id; do [ -z "$id" ] || deleted[$id]=1; done <<<"$(grep -oE '"deleted":true,"event":"delete","id":"[^"]*"' "$out" | cut -d'"' -f10)"
  crash bob store
}

# ---------------------------------------------------------------------------------------

# Every message alice's phone answered as sent is in bob's lists (or was deleted).
tapes_arrived() {
  local tx listed missing=0
  bob_listing
  for tx in $(cat "$root/alice"/phone-*.out | grep -F '"event":"send"' | grep -F '"sent":true' |
    grep -oE '"txid":"[0-9a-f]{64}"' | cut -d'"' -f4 | sort -u); do
    grep -qF "\"txid\":\"$tx\"" <<<"$listed" && continue
    local id gone=0
    for id in "${!deleting[@]}"; do [ "${id_txid[$id]:-}" != "$tx" ] || gone=1; done
    ((gone)) || missing=$((missing + 1))
  done
  missing_tapes=$missing
  ((missing == 0))
}

ledger_json() { chain_json=$($check_py chain "$ledger" "$@") || fail_seed "crash_check.py could not read the ledger"; }

balance_matches() {
  local who=$1 addresses=$2 sats chain_sats
  use "$who"
  send refresh
  next_event "$who's refresh" refresh-done 180
  send balance
  next_event "$who's balance" balance 60
  sats=$(json_number sats <<<"$line")
  ledger_json "$addresses"
  chain_sats=$($py -c 'import json,sys; print(json.loads(sys.argv[1])["balances"][0])' "$chain_json")
  balance_seen="phone $sats, ledger $chain_sats"
  [ "$sats" = "$chain_sats" ]
}

crash_loop() {
  scenario=speech
  speech=$root/speech
  mkdir -p "$speech"
  source "$here/speech.sh"
  say alice en-gb "Good morning. I am calling about the parcel that was left at the front door yesterday." ||
    fail "espeak-ng could not speak alice's lines"
  say bob en-us "Hello, this is Bob speaking. The weather here has been cold and wet for a whole week now." ||
    fail "espeak-ng could not speak bob's lines"
  # A phone's microphone file plays once from its first call on, then it is silent, and silence
  # sends no voice: the speech repeats for longer than any phone lives.
  for who in alice bob; do
    ffmpeg -loglevel error -y -stream_loop 60 -i "$speech/$who.wav" -c copy "$speech/$who-long.wav" ||
      fail "ffmpeg could not repeat $who's speech"
  done
  gsm=$root/tape.gsm
  head -c $((65 * 25)) /dev/urandom >"$gsm"
  p_audio[alice]="{\"backend\":\"file\",\"input_wav\":\"$speech/alice-long.wav\"}"
  p_audio[bob]="{\"backend\":\"file\",\"input_wav\":\"$speech/bob-long.wav\"}"
  setup alice bob
  for who in alice bob; do
    dir=$root/$who
    v --json show
    p_identity[$who]=$(json_text identity_address <"$dir/v.out")
    p_identity_pub[$who]=$(json_text identity_pub <"$dir/v.out")
  done
  # A placed call pays the platform a penny (25,000 satoshis on the devnet): alice places them all.
  dir=$root/alice
  v --json fund 1500000 --confirm
  check "the faucet pays alice 1500000 sats more (exit code $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  dir=$root
  ledger=$(find "$root/Orvane" -name ledger.sqlite | head -n1)
  check "the devnet's ledger is found (${ledger:-none})" [ -n "$ledger" ]
  payloads

  scenario=loop
  local -a plan=()
  local calls=$((kills_wanted * 12 / 100)) spends=$((kills_wanted * 40 / 100)) i j t
  local store=$((kills_wanted - calls - spends))
  for ((i = 0; i < calls; i++)); do plan+=(call_cycle); done
  for ((i = 0; i < spends; i++)); do plan+=(spend_cycle); done
  for ((i = 0; i < store; i++)); do plan+=(store_cycle); done
  # Fisher-Yates with the seeded generator.
  for ((i = ${#plan[@]} - 1; i > 0; i--)); do
    j=$(rnd $((i + 1)))
    t=${plan[i]} plan[i]=${plan[j]} plan[j]=$t
  done
  local t_loop who
  t_loop=$(now_ms)
  declare -A phase_ms=([call_cycle]=0 [spend_cycle]=0 [store_cycle]=0)
  local t1
  for i in "${plan[@]}"; do
    t1=$(now_ms)
    "$i"
    phase_ms[$i]=$((phase_ms[$i] + $(now_ms) - t1))
  done
  echo
  echo "  loop: $total_kills kills in $((($(now_ms) - t_loop) / 1000)) s (calls $((phase_ms[call_cycle] / 1000)) s, spends $((phase_ms[spend_cycle] / 1000)) s, store $((phase_ms[store_cycle] / 1000)) s)"

  scenario=end
  idle alice
  idle bob
  if wait_until 90 tapes_arrived; then ok "every message alice sent reached bob"; else
    fail_seed "$missing_tapes of alice's messages never reached bob"
  fi
  bob_lists
  local spends_ok spend_err
  spends_ok=$(cat "$root/alice"/phone-*.out | grep -E '"event":"(payload|pay|split)"' | grep -cF '"result":"success')
  spend_err=$(cat "$root/alice"/phone-*.out | grep -E '"event":"(payload|pay|split)"' | grep -cF '"result":"error')
  holds=$(cat "$root/alice"/phone-*.out | grep -E '"event":"(payload|pay|split)"' | grep -cF '"result":"hold')
  ledger_json
  local double txs
  txs=$($py -c 'import json,sys; print(json.loads(sys.argv[1])["txs"])' "$chain_json")
  double=$($py -c 'import json,sys; d=json.loads(sys.argv[1])["double"]; print(" ".join("%s by %s" % (o, ",".join(t)) for o, t in d.items()))' "$chain_json")
  check "no outpoint is spent twice in the ledger's $txs transactions (${double:-none})" [ -z "$double" ]
  local addresses
  for who in alice bob; do
    use "$who"
    send status
    next_event "$who's status" status
    addresses="${p_address[$who]},$(json_text ownPayAddress <<<"$line"),${p_identity[$who]}"
    if wait_until 120 balance_matches "$who" "$addresses"; then ok "$who's balance is the ledger's ($balance_seen)"; else
      fail_seed "$who's balance after a refresh is not the ledger's ($balance_seen)"
    fi
  done
  all_quit
  for who in alice bob; do files_sound "$who"; done
  local recovered
  recovered=$(cat "$root"/*/phone-*.out | grep -cF '"event":"wallet-text"')
  echo "  kills: ${kills[calls]} in calls, ${kills[spends]} in spends ($held_kills while the devnet held a broadcast), ${kills[store]} in store saves; $total_kills in all"
  echo "  files: $files_read JSON files read by Python after kills and restarts, 0 unreadable, 0 kept aside"
  echo "  restarts: $restarts; store checks after a restart: $store_checks; calls ringing again after a restart: $stray_rings; calls placed again after an invite met a spent coin: $stale_calls"
  echo "  messages: $tapes_sent sent by alice, ${#tracked[@]} saved and found after the last restart, ${#deleted[@]} deleted"
  echo "  spends answered by alice: $spends_ok succeeded, $spend_err failed, $holds held; ledger: $txs transactions, 0 outpoints spent twice"
  echo "  recoveries: $temps_cleared temporary files of killed phones cleared by the next start; $spend_err spends answered with an error; $recovered wallet warnings"
  ((total_kills == kills_wanted)) || fail_seed "$total_kills kills, not $kills_wanted"
  ok "$total_kills kills"
}

# CRASH_KEEP=1 keeps the run's folder for a look afterwards.
keep_dir=${CRASH_KEEP:+/tmp/crash_loop-$seed}
declare -A p_identity=() p_identity_pub=()
t_start=$(now_ms)
crash_loop
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s (seed $seed)"

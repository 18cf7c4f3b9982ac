#!/usr/bin/env bash
# 100 payloads of every push size read back from the ledger (one killed between two, one while its
# broadcast is held); then 200 SIGKILLs in calls, spends and store saves, each followed by checks
# of the files and of the restarted phone; at the end no message lost, nothing spent twice,
# balances the ledger's. CRASH_SEED=N replays, CRASH_KILLS=N kills fewer, CRASH_KEEP=1 keeps it.
# Usage: crash_loop.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1 vaultra=$2 devnet=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_tools crash_loop.sh curl espeak-ng ffmpeg python3
seed=${CRASH_SEED:-$(($(date +%s%N) % 1000000))}
RANDOM=$seed
kills_wanted=${CRASH_KILLS:-200}
keep_dir=${CRASH_KEEP:+/tmp/crash_loop-$seed}
echo "crash_loop: seed $seed (CRASH_SEED=$seed replays it), $kills_wanted kills"
# The interpreter itself, not a wrapper that finds it: it runs several times per kill.
check_py="$(python3 -c 'import sys; print(sys.executable)') $here/crash_check.py"
block_interval=3  # split coins become ready while the loop runs
peer_address=1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH
second_address=1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP
declare -A kills=([calls]=0 [spends]=0 [store]=0)
declare -A tracked=()   # message id -> 1: seen saved, must be listed until deleted
declare -A deleting=()  # ids the test asked to delete (maybe gone, maybe not)
declare -A deleted=()   # ids whose delete was answered: never listed again
declare -A id_txid=()   # message id -> the txid it came in
inbox_now="" total_kills=0 tape_n=0
rnd() { echo $((RANDOM % $1)); }
pause_ms() { sleep "$(printf '0.%03d' "$(rnd "$1")")"; }
fail_seed() { fail "$* (seed $seed)"; }
# Temporary files only of the living phone (pid $2; none right after a kill).
files_sound() {
  local who=$1 alive=${2:-} t temps=""
  eval "$($check_py files "$root/$who/Orvane" "$who")" || fail_seed "crash_check.py could not read $who's folder"
  check "$who: every JSON file parses (${f_unreadable:-ok})" [ -z "$f_unreadable" ]
  check "$who: nothing was kept aside as unreadable (${f_aside:-none})" [ -z "$f_aside" ]
  [ -n "$alive" ] || return 0
  for t in $f_temps; do [ "${t##*:}" = "$alive" ] || temps+=" $t"; done
  check "$who: no temporary file of a dead phone is left (${temps:- none})" [ -z "$temps" ]
}
# Bob's store file after a kill: what was saved before is still there, nothing deleted is back.
bob_file_after_kill() {
  local id present=" $f_inbox $f_saved " missing=""
  for id in "${!tracked[@]}"; do [[ $present == *" $id "* ]] || missing+=" $id"; done
  check "bob's file still holds every message saved before (missing:${missing:- none})" [ -z "$missing" ]
  for id in $present; do [ -n "${deleting[$id]:-}" ] || tracked[$id]=1; done
  for id in "${!deleted[@]}"; do [[ $present != *" $id "* ]] || fail_seed "bob's file lists $id, deleted before"; done
}
bob_listing() { answer bob inbox inbox 30; listed=$line; answer bob saved saved 30; listed+=$line; }
# Bob's phone lists every tracked message and no deleted one; the ids it lists are tracked too.
bob_lists() {
  local listed id tx missing=""
  bob_listing
  # Messages still in the inbox, not yet saved: the ones a save can take.
  inbox_now=$(sed 's/"event":"saved".*//' <<<"$listed" | grep -oE '"heard":false,"id":"[^"]*"' | cut -d'"' -f6 | tr '\n' ' ')
  while read -r id tx; do
    [ -n "$id" ] || continue
    id_txid[$id]=$tx
    [ -n "${deleting[$id]:-}" ] || tracked[$id]=1
    [ -z "${deleted[$id]:-}" ] || fail_seed "bob's phone lists $id, deleted before"
  done <<<"$(grep -oE '"id":"[^"]*"[^}]*"txid":"[0-9a-f]*"' <<<"$listed" | sed -E 's/"id":"([^"]*)".*"txid":"([0-9a-f]*)"/\1 \2/')"
  for id in "${!tracked[@]}"; do grep -qF "\"id\":\"$id\"" <<<"$listed" || missing+=" $id"; done
  check "bob's phone lists every message saved before (missing:${missing:- none})" [ -z "$missing" ]
}
crash() {
  local who=$1 calls_before
  phone_killed "$who"
  kills[$2]=$((kills[$2] + 1)) total_kills=$((total_kills + 1))
  files_sound "$who"
  calls_before=$f_calls
  [ "$who" != bob ] || bob_file_after_kill
  phone_again "$who"
  # The balance needs the wallet file loaded, and the load clears what a killed phone left.
  answer "$who" balance
  files_sound "$who" "$(phone_process)"
  answer "$who" history history 30
  check "restarted $who lists the $calls_before calls of its file, or more" [ "$(grep -o '"from"' <<<"$line" | wc -l)" -ge "$calls_before" ]
  if [ "$who" = bob ]; then
    bob_lists
    # The switch as the file had it: the phone loaded it rather than starting from defaults.
    if [ "$f_answerphone" = True ]; then answer bob "answer-phone on"; else answer bob "answer-phone off"; fi
    check "restarted bob's answer-phone is the file's ($f_answerphone; $line)" matches "$line" '"changed":false'
  fi
  printf '\r  %d kills (calls %d, spends %d, store %d)   ' "$total_kills" "${kills[calls]}" "${kills[spends]}" "${kills[store]}"
}
idle() { answer "$1" status; grep -qF '"callState":"Idle"' <<<"$line" || { send hangup; saw "$1" "is idle again" 60 '"callState":"Idle"'; }; }
# A coin spent by a held broadcast may fail the invite ("Missing inputs"): call again, as a user would.
call_settled() {
  tail -n +"$((p_seen[bob] + 1))" "${p_out[bob]}" | grep -qF '"callState":"Incoming"' && { outcome=rang; return; }
  awk -v from="$1" 'NR > from && index($0, "\"callState\":\"Calling\"") { calling = 1 }
    calling && index($0, "\"callState\":\"Idle\"") && index($0, "Missing inputs") { found = 1; exit }
    END { exit !found }' "${p_out[alice]}" && outcome=stale
}
place_call_to_bob() {
  local tries from
  for ((tries = 1; tries <= 3; tries++)); do
    from=$(wc -l <"${p_out[alice]}")
    send "call bob"
    wait_until 60 call_settled "$from" || fail_seed "alice's call: bob did not ring within 60 s"
    [ "$outcome" = rang ] && return
  done
  fail_seed "alice's call failed three times on spent coins"
}
call_cycle() {
  local victim=bob survivor=alice
  (($(rnd 2))) && victim=alice survivor=bob
  idle alice
  idle bob
  # Diverted to the answer-phone, a call would not reach Talking.
  answer bob "answer-phone off"
  use alice
  place_call_to_bob
  saw bob "rings" 60 '"callState":"Incoming"'
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
spend_cycle() {
  local n i first="" cmd
  use alice
  if (($(rnd 4) == 0)); then
    # The kill lands after the transaction left the phone and before it heard it was taken.
    hold /oi/submit $((500 + $(rnd 1500))) || fail_seed "the devnet took no fault"
    send "payload $peer_address held $total_kills"
    check "a broadcast reached the devnet" wait_until 60 no_fault_pending
    pause_ms 300
    crash alice spends
    return
  fi
  n=$((1 + $(rnd 3)))
  for ((i = 0; i < n; i++)); do
    case $(rnd 10) in
      0) cmd=split ;;
      1) cmd="pay ${p_address[bob]} $((500 + $(rnd 500)))" ;;
      *) cmd="payload $peer_address crash loop $total_kills.$i $(head -c $(($(rnd 400) + 1)) /dev/zero | tr '\0' x)"
         (($(rnd 4))) || cmd+=" ${p_address[bob]}" ;;
    esac
    send "$cmd"
    first=${first:-${cmd%% *}}
  done
  next_event "alice's $first" "$first" 120
  pause_ms 400
  crash alice spends
}
store_cycle() {
  local n i k id cmd ids first="" unsaved settings
  use alice
  tape_n=$((tape_n + 1))
  send "send bob tape $(printf '%08x%08x' "$seed" "$tape_n") $gsm"
  use bob
  ids=("${!tracked[@]}")
  n=$((1 + $(rnd 3)))
  for ((i = 0; i < n; i++)); do
    read -ra unsaved <<<"$inbox_now"
    k=$(rnd 10) id=""
    ((${#ids[@]} == 0)) || id=${ids[$(rnd ${#ids[@]})]}
    settings=("contact-add carol$((total_kills * 3 + i))@orvane.test crash" "answer-phone on" "answer-phone off"
      "notify $(rnd 4)" "volume $(((1 + $(rnd 4)) * 50))" "block dave$(rnd 5)" "unblock dave$(rnd 5)")
    cmd=${settings[$(rnd 7)]}
    # Saved now or not at all: a saved message is not offered for a second save.
    if ((k < 2)) && ((${#unsaved[@]} > 0)); then id=${unsaved[$(rnd ${#unsaved[@]})]} cmd="save $id"
    elif ((k < 3)) && [ -n "$id" ]; then cmd="delete $id" deleting[$id]=1; unset "tracked[$id]"
    fi
    [ "${cmd#* }" != "$id" ] || inbox_now=${inbox_now/$id /}
    send "$cmd"
    first=${first:-${cmd%% *}}
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
  for id in $(grep -oE '"deleted":true,"event":"delete","id":"[^"]*"' "${p_out[bob]}" | cut -d'"' -f10); do deleted[$id]=1; done
  crash bob store
}
# 1 to about 700 bytes (all three push sizes), now and then not ASCII; never ends in a blank.
payload_text() {
  local len=$((($1 * 97) % 700)) t="p$1 "
  while ((${#t} < len)); do t+="the quick brown fox jumps over the lazy dog 0123456789 "; done
  t=${t:0:len}
  ((($1 % 9))) || t+=" é ü ✓"
  printf '%s.' "$t"
}
payloads() {
  scenario=payloads
  local i n=100 kill_after=40 kill_during=70 cmd why
  local -a txids=() costs=() texts=()
  # The held one: a transaction to the payee that no answer named.
  held_tx() {
    txids[kill_during]=$($check_py paid "$ledger" "$peer_address" | cut -d' ' -f1 | grep -vxF -f <(printf '%s\n' "${txids[@]}" | grep .))
    matches "${txids[kill_during]}" '^[0-9a-f]{64}$'
  }
  use alice
  for ((i = 1; i <= n; i++)); do
    texts[i]=$(payload_text "$i")
    cmd="payload $peer_address ${texts[i]}"
    ((i % 5)) || cmd+=" $second_address"
    if ((i == kill_during)); then
      # Held 10 s: the broadcast has left the phone before the kill and lands after it.
      check "payload $i: a delay set on the devnet's broadcast route" hold /oi/submit 10000
      send "$cmd"
      check "payload $i: the broadcast reached the devnet" wait_until 20 no_fault_pending
      phone_killed alice
      check "payload $i: no answer came before the kill" not find_event payload
      # Restarted only once the devnet has it, or the phone could offer a coin it spent.
      check "payload $i: the devnet took it after the kill, once" wait_until 60 held_tx
      phone_again alice
      continue
    fi
    answer alice "$cmd" payload
    check "payload $i answers success, a txid and a cost ($line)" \
      matches "$(json_text result <<<"$line")" '^success: ([0-9a-f]{64}) ([0-9]+)$'
    txids[i]=${BASH_REMATCH[1]} costs[i]=${BASH_REMATCH[2]}
    ((i != kill_after)) || { phone_killed alice && phone_again alice; }
  done
  check "$n distinct txids" [ "$(printf '%s\n' "${txids[@]}" | sort -u | wc -l)" -eq "$n" ]
  for ((i = 1; i <= n; i++)); do
    echo "$i ${txids[i]} ${costs[i]:--} $(printf '%s' "${texts[i]}" | od -An -v -tx1 | tr -d ' \n')"
  done >"$root/payloads"
  why=$($check_py payloads "$ledger" "$peer_address" "$second_address" "$root/payloads")
  check "every payload is in the ledger with its payees, its text and the cost it answered ($why)" [ -z "$why" ]
  answer alice "pay $peer_address 1000" pay
  check "pay answers success and a txid ($line)" matches "$(json_text result <<<"$line")" '^success: ([0-9a-f]{64})$'
  check "pay sends 1000 sats to the payee" grep -qx "${BASH_REMATCH[1]} 1000" <($check_py paid "$ledger" "$peer_address")
}
tapes_arrived() {
  local tx id gone listed
  missing_tapes=0
  bob_listing
  for tx in $(cat "$root/alice"/phone-*.out | grep -F '"event":"send"' | grep -F '"sent":true' | grep -oE '[0-9a-f]{64}' | sort -u); do
    grep -qF "\"txid\":\"$tx\"" <<<"$listed" && continue
    gone=0
    for id in "${!deleting[@]}"; do [ "${id_txid[$id]:-}" != "$tx" ] || gone=1; done
    ((gone)) || missing_tapes=$((missing_tapes + 1))
  done
  ((missing_tapes == 0))
}
# The ledger read by Python: c_txs, c_double (outpoints spent twice), c_balances (per group).
read_chain() { eval "$($check_py chain "$ledger" "$@")" || fail_seed "crash_check.py could not read the ledger"; }
balance_matches() {
  answer "$1" refresh refresh-done 180
  answer "$1" balance
  read_chain "$2"
  balance_seen="phone $(json_number sats <<<"$line"), ledger $c_balances"
  [ "$(json_number sats <<<"$line")" = "$c_balances" ]
}
scenario=speech
say_call_lines
# The microphone file plays once and silence sends nothing: speech longer than any phone lives.
for who in alice bob; do
  ffmpeg -loglevel error -y -stream_loop 60 -i "$speech/$who.wav" -c copy "$speech/$who-long.wav" || fail "ffmpeg could not repeat $who's speech"
  p_audio[$who]="{\"backend\":\"file\",\"input_wav\":\"$speech/$who-long.wav\"}"
done
gsm=$root/tape.gsm
head -c $((65 * 25)) /dev/urandom >"$gsm"
t_start=$(now_ms)
setup alice bob
# A placed call pays the platform a penny (25,000 satoshis on the devnet): alice places them all.
dir=$root/alice
v --json fund 1500000 --confirm
check "the faucet pays alice 1500000 sats more ($rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
dir=$root
ledger=$(find "$root/Orvane" -name ledger.sqlite | head -n1)
check "the devnet's ledger is found (${ledger:-none})" [ -n "$ledger" ]
payloads
scenario=loop
plan=()
calls=$((kills_wanted * 12 / 100)) spends=$((kills_wanted * 40 / 100))
for ((i = 0; i < kills_wanted; i++)); do
  if ((i < calls)); then plan+=(call_cycle); elif ((i < calls + spends)); then plan+=(spend_cycle); else plan+=(store_cycle); fi
done
for ((i = ${#plan[@]} - 1; i > 0; i--)); do  # Fisher-Yates with the seeded generator
  j=$(rnd $((i + 1)))
  t=${plan[i]} plan[i]=${plan[j]} plan[j]=$t
done
for c in "${plan[@]}"; do "$c"; done
echo
scenario=end
idle alice
idle bob
wait_until 90 tapes_arrived || fail_seed "$missing_tapes of alice's messages never reached bob"
ok "every message alice sent reached bob"
bob_lists
read_chain
check "no outpoint is spent twice in the ledger's $c_txs transactions (${c_double:-none})" [ -z "$c_double" ]
for who in alice bob; do
  answer "$who" status
  addresses="${p_address[$who]},$(json_text ownPayAddress <<<"$line"),${p_identity[$who]}"
  wait_until 120 balance_matches "$who" "$addresses" || fail_seed "$who's balance after a refresh is not the ledger's ($balance_seen)"
  ok "$who's balance is the ledger's ($balance_seen)"
done
all_quit
for who in alice bob; do files_sound "$who" none; done
echo "  kills: ${kills[calls]} in calls, ${kills[spends]} in spends, ${kills[store]} in store saves; ${#tracked[@]} messages kept, ${#deleted[@]} deleted"
((total_kills == kills_wanted)) || fail_seed "$total_kills kills, not $kills_wanted"
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s (seed $seed)"

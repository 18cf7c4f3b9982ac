#!/usr/bin/env bash
# A call between alice and bob on a local devnet, both speaking (espeak-ng speech, WAV-file
# sound; calm: 0.2 s chunks unless alice_chunk_ms and bob_chunk_ms say otherwise). MODE is
#   calm:  they talk about 20 s; what each heard, aligned with what the other said
#          (tests/e2e/voice_match.py), correlates at 0.8 or better, each chunk's mouth-to-ear
#          delay printed; then bob, muted, speaks on and sends nothing. After the call bob's
#          answer-phone takes a 12-second message from alice (listed, also after a restart;
#          exported, it correlates with what she said; saved, deleted, gone after a restart),
#          and alice calls an echo line (dialo-phone --echo) and hears herself back.
#   storm: after a calm stretch the devnet answers 20 % of all requests on every server with a
#          fault drawn at random (429, 503, 500, a slow answer, a dropped connection) for
#          STORM_SECONDS (180 by default); both phones stay Talking throughout, and each
#          phone's oracle polls per second come back after it to RECOVER_SHARE of the calm rate
#          within the longest back-off (30 s) plus one measuring window. Prints the
#          delivered-chunk ratio each way, chunk latency p50/p99 during and after the storm,
#          the faults injected by kind and the poll rates. STORM_SEED repeats a run's fates.
# Both: every chunk 1..N each side sent was played by the other exactly once, in order, N at
# least the last chunk sent when both had caught up; every transaction of the run passes
# @bsv/sdk's interpreter, nothing is spent twice, every event opens with its callee's key
# (tests/interop/run_check.mjs). STORM_KEEP=DIR keeps the run's folder there.
# Usage: storm.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-node calm|storm
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
node=${4:-}
mode=${5:-storm}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
source "$here/two_phones.sh"
source "$here/speech.sh"
need_voice_tools storm.sh "$node"
[ "$mode" = calm ] || [ "$mode" = storm ] || { echo "storm.sh: MODE is calm or storm, not '$mode'"; exit 1; }

storm_seconds=${STORM_SECONDS:-180}
storm_seed=${STORM_SEED:-$(($(date +%s) % 100000))}
calm_seconds=15           # the in-call poll rate the phones come back to is measured over this
window_seconds=3          # recovery is read in windows this long
after_seconds=15          # the call goes on this long once the rate is back
longest_backoff=30        # seconds: an oracle answer with "error" pauses polling this long
recover_share=${RECOVER_SHARE:-0.7}
# Calm, the shortest call delay the Settings card offers: the most chunks, coins and play-out
# waits. In the storm the phones' own, unless set.
[ "$mode" = storm ] || alice_chunk_ms=${alice_chunk_ms:-200} bob_chunk_ms=${bob_chunk_ms:-200}
# Blocks confirm the change of each chunk's spend, so a long call never runs out of coins.
block_interval=10
speech=$root/speech
mkdir -p "$speech"

make_speech() {
  scenario=speech
  say_call_lines
  if [ "$mode" = storm ]; then
    # Speech for longer than the call: the phones mute before the end.
    local need=$((calm_seconds + storm_seconds + longest_backoff + window_seconds + after_seconds + 60)) a=() b=() i
    for ((i = 0; i < need / 12 + 1; i++)); do
      a+=("$speech/alice.wav" silence:0.5)
      b+=("$speech/bob.wav" silence:0.5)
    done
    join "$speech/alice-said.wav" silence:3 "${a[@]}"
    check "alice's speech lasts the call (${length} s)" eval "((length_ms / 1000 > need))"
    join "$speech/bob-mic.wav" silence:2 "${b[@]}"
    check "bob's speech lasts the call (${length} s)" eval "((length_ms / 1000 > need))"
    return
  fi
  say muted en-us "Numbers now: seven, eight, nine, ten, eleven, twelve." || fail "espeak-ng: bob's muted lines"
  say message en-gb "Hi Bob, it is Alice again, sorry I missed you. The parcel is still by the door and
    the driver said he would come back tomorrow morning before nine. If you are up early, please
    leave the gate open for him, and put the dog in the kitchen so that it does not bark at him.
    I will call you again in the evening, and we can talk about the trip to the mountains then.
    Bye for now, and say hello to your sister from me. Talk to you soon, have a lovely day." ||
    fail "espeak-ng could not speak alice's message"
  say echo en-gb "Testing the echo line. One, two, three. Can you hear me now? The quick brown fox
    jumps over the lazy dog, and then it runs back home again." || fail "espeak-ng could not speak alice's echo lines"

  # Each microphone starts when its phone places or answers the call; the leads cover the wait
  # for the answer (alice) and the last ring's hold-off of the microphone (bob).
  join "$speech/alice-said.wav" silence:3 "$speech/alice.wav"
  alice_end=$length_ms
  join "$speech/bob-said.wav" silence:2 "$speech/bob.wav"
  bob_end=$length_ms
  # bob goes on speaking after a pause, muted by then.
  join "$speech/bob-mic.wav" "$speech/bob-said.wav" silence:8 "$speech/muted.wav" silence:1
  bob_muted_end=$length_ms
  # The message: alice speaks from her call on, and what the answer-phone records is a stretch
  # of it, so the speech runs far past any wait for the beep.
  join "$speech/message-said.wav" "$speech/message.wav" "$speech/message.wav" "$speech/message.wav"
  # The echo line answers by itself, after one ring or, under a sanitizer, two; the microphone
  # drops what it hears while a ring plays (rings 3 s apart), so the speech starts after three.
  join "$speech/echo-said.wav" silence:8 "$speech/echo.wav"
  echo_end=$length_ms
  check "espeak-ng made about 20 s of speech for alice and bob (${alice_end} ms, ${bob_end} ms)" \
    eval '((alice_end > 16000 && alice_end < 30000 && bob_end > 16000 && bob_end < 30000))'
}

# ---------------------------------------------------------------------------------------
# Poll counts, read from the devnet: "ms alice-count bob-count", the clock the test's own.

poll_sample() {
  local polls
  polls=$(devnet_get /devnet/polls) || fail "could not read the devnet's poll counts"
  local a b
  a=$(json_number "${p_address[alice]}" <<<"$polls") b=$(json_number "${p_address[bob]}" <<<"$polls")
  echo "$(now_ms) ${a:-0} ${b:-0}"
}
# Polls per second of each phone between two samples: "alice bob" with two decimals.
poll_rates() {
  awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " "); s = (y[1] - x[1]) / 1000;
    printf "%.2f %.2f", (y[2] - x[2]) / s, (y[3] - x[3]) / s }'
}
# Both rates in "$1" are at least the share of those in "$2".
rates_back() {
  awk -v now="$1" -v calm="$2" -v share="$recover_share" 'BEGIN { split(now, n, " "); split(calm, c, " ");
    exit !(n[1] >= share * c[1] && n[2] >= share * c[2]) }'
}
# Waits SECONDS, then samples again; the wait is the measure itself, not a hope.
window() {
  sleep "$1"
  poll_sample
}

# The storm's report in $1 counts some fault.
faults_injected() {
  grep -oE '"faults":\{[^}]*\}' <<<"$1" | grep -oE ':[0-9]+' | tr -d : | awk '{ s += $1 } END { exit !(s > 0) }'
}

# True while NAME's output from line FROM on shows no call state but Talking.
only_talking() {
  local states
  states=$(tail -n +"$2" "${p_out[$1]}" | grep -oE '"callState":"[A-Za-z]+"' | sort -u | tr '\n' ' ')
  [ -z "$states" ] || [ "$states" = '"callState":"Talking" ' ]
}

# The chunk figures of one direction: sent lines of FROM, played lines of TO, the storm's window.
chunk_figures() {
  python3 - "$1" "$2" "$3" "$4" <<'EOF'
import json, sys
def lines(path):
    out = []
    for l in open(path):
        try:
            out.append(json.loads(l))
        except ValueError:
            pass
    return out
sent, played = lines(sys.argv[1]), lines(sys.argv[2])
storm_from, storm_to = int(sys.argv[3]), int(sys.argv[4])
sent_at = {}
for s in sent:
    sent_at.setdefault(s["n"], s["ms"])
played_ns = [p["n"] for p in played]
delivered = len(set(played_ns) & set(sent_at))
ratio = delivered / len(sent_at) if sent_at else 0.0
def pct(v, p):
    if not v:
        return "-"
    v = sorted(v)
    return "%d" % v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]
during, after = [], []
for p in played:
    t = sent_at.get(p["n"])
    if t is None:
        continue
    (during if storm_from <= t < storm_to else after if t >= storm_to else []).append(p["ms"] - t)
print(json.dumps({"sent": len(sent_at), "played": len(played_ns), "delivered": delivered,
                  "ratio": round(ratio, 4), "during": [len(during), pct(during, 50), pct(during, 99)],
                  "after": [len(after), pct(after, 50), pct(after, 99)]}))
EOF
}

mic_peak() {
  use "$1"
  send mic-level
  next_event "$1's microphone level" mic-level
  peak=$(json_number peak <<<"$line")
}
mic_loud() { mic_peak "$1" && ((${peak:-0} > 3000)); }

storm_stretch() {
  s0=$(poll_sample)
  s1=$(window "$calm_seconds")
  calm=$(poll_rates "$s0" "$s1")
  check "both phones poll in the calm call (alice, bob per second: $calm)" \
    awk -v r="$calm" 'BEGIN { split(r, x, " "); exit !(x[1] > 1 && x[2] > 1) }'

  storm_from=$(now_ms)
  report=$(devnet_post /devnet/storm \
    "{\"rate\":0.2,\"kinds\":[429,503,500,\"slow\",\"drop\"],\"slow_ms\":4000,\"seed\":$storm_seed}") ||
    fail "the devnet refused the storm"
  ok "the storm blows (seed $storm_seed, $storm_seconds s)"
  s1=$(poll_sample)
  local until=$((storm_from + storm_seconds * 1000)) last_note=0
  while (($(now_ms) < until)); do
    only_talking alice "$talk_a" || fail "alice left Talking in the storm"
    only_talking bob "$talk_b" || fail "bob left Talking in the storm"
    if (($(now_ms) - last_note >= 30000)); then
      last_note=$(now_ms)
      echo "  storm $(((last_note - storm_from) / 1000)) s: alice sent $(last_n alice sent), played $(last_n alice played);" \
        "bob sent $(last_n bob sent), played $(last_n bob played)"
    fi
    sleep 1
  done
  s2=$(poll_sample)
  report=$(devnet_post /devnet/storm/stop '{}') || fail "the storm would not stop"
  storm_to=$(now_ms)
  during=$(poll_rates "$s1" "$s2")
  ok "the storm stops"

  # Windows until both rates are back; the deadline is the longest back-off, not a speed.
  s_rec=$s2
  local deadline=$((storm_to + (longest_backoff + window_seconds) * 1000)) back=""
  while :; do
    w=$(window "$window_seconds")
    rec=$(poll_rates "$s_rec" "$w")
    s_rec=$w
    if rates_back "$rec" "$calm"; then back=1; break; fi
    (($(now_ms) < deadline)) || break
  done
  recovered_in=$((($(now_ms) - storm_to) / 1000))
  check "polls back to ${recover_share} of the calm rate within $((longest_backoff + window_seconds)) s of the storm (last window $rec, calm $calm)" \
    [ -n "$back" ]
  s3=$(window "$after_seconds")
  after=$(poll_rates "$s_rec" "$s3")
  check "after the storm polls stay at ${recover_share} of the calm rate (after $after, calm $calm)" rates_back "$after" "$calm"

}

# alice calls bob, they talk (through the storm in that mode), both mute, alice hangs up.
the_call() {
  scenario=call
  local t0 cap_a cap_b ear_a ear_b talk_a talk_b hung s0 s1 s2 s3 s_rec calm during rec after
  local storm_from storm_to recovered_in w report sent_a sent_b played_a played_b fig_ab fig_ba
  local seen_ab seen_ba muted_sent
  t0=$(now_ms)
  use alice
  cap_a=$(now_ms)
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  use bob
  cap_b=$(now_ms)
  send answer
  saw bob "is talking" 60 '"callState":"Talking"'
  talk_b=$seen
  saw alice "is talking" 60 '"callState":"Talking"'
  talk_a=$seen
  echo "  talking $(since) s after alice's call"
  if [ "$mode" = storm ]; then
    check "chunks flow both ways before the storm" \
      wait_until 60 eval '[ -n "$(last_n alice played)" ] && [ -n "$(last_n bob played)" ]'
    storm_stretch
  else
    ear_a=$(ear_clock "$root/alice/heard.wav")
    ear_b=$(ear_clock "$root/bob/heard.wav")
    # Three seconds more see the last chunk through a slow send.
    check "both speeches have played into the microphones" \
      wait_until 90 eval 'clock_reached $((cap_a + alice_end + 3000)) && clock_reached $((cap_b + bob_end + 3000))'
  fi

  # Both mute, so the last chunks can be seen through before the hang-up. In the storm a chunk
  # taken before the mute may still be waiting on a coin and go after the catch-up; the hang-up
  # may cut it. What each had played once caught up must all be there, once, in order.
  for who in bob alice; do
    use "$who"
    send "mute on"
    expect "$who mutes" '{"event":"mute","mute":true}'
    [ "$mode$who" != calmbob ] || muted_sent=$(last_n bob sent)
    [ "$mode$who" != calmbob ] || mic_peak bob
  done
  check "bob has played every chunk alice sent" wait_until 60 caught_up alice bob
  seen_ab=$(last_n bob played)
  check "alice has played every chunk bob sent" wait_until 60 caught_up bob alice
  seen_ba=$(last_n alice played)
  if [ "$mode" = calm ]; then
    # Muted, bob's microphone hears his next lines and nothing goes out.
    check "bob muted before his next lines began (microphone peak ${peak:-none})" [ "${peak:-99999}" -lt 3000 ]
    check "bob's muted microphone hears his next lines" wait_until 60 mic_loud bob
    check "bob's muted lines have played into his microphone" \
      wait_until 60 clock_reached $((cap_b + bob_muted_end + 1500))
    check "muted, bob sent no chunk (last still ${muted_sent})" [ "$(last_n bob sent)" = "$muted_sent" ]
    check "alice played nothing new" [ "$(last_n alice played)" = "$muted_sent" ]
  fi
  check "alice stayed Talking from the answer on" only_talking alice "$talk_a"
  check "bob stayed Talking from the answer on" only_talking bob "$talk_b"
  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."'
  saw bob "hears the hang-up" 60 '"callState":"Idle"' '"statusText":"They hung up."'
  hung=$(now_ms)
  echo "  call: $(((hung - t0) / 1000)) s from alice's call to the hang-up"
  for who in alice bob; do
    use "$who"
    send "mute off"
    expect "$who unmutes" '{"event":"mute","mute":false}'
  done

  sent_a=$(voice_ns alice sent) sent_b=$(voice_ns bob sent)
  played_a=$(voice_ns alice played) played_b=$(voice_ns bob played)
  check "alice sent chunks 1..$(wc -l <<<"$sent_a"), each once, in order" in_order "$sent_a"
  check "bob sent chunks 1..$(wc -l <<<"$sent_b"), each once, in order" in_order "$sent_b"
  check "bob played alice's chunks 1..N (N at least $seen_ab), each once, in order" \
    played_through "$played_b" "$sent_a" "$seen_ab"
  check "alice played bob's chunks 1..N (N at least $seen_ba), each once, in order" \
    played_through "$played_a" "$sent_b" "$seen_ba"
  voice_lines alice sent "$root/alice-sent"
  voice_lines alice played "$root/alice-played"
  voice_lines bob sent "$root/bob-sent"
  voice_lines bob played "$root/bob-played"
  if [ "$mode" = storm ]; then
    fig_ab=$(chunk_figures "$root/alice-sent" "$root/bob-played" "$storm_from" "$storm_to")
    fig_ba=$(chunk_figures "$root/bob-sent" "$root/alice-played" "$storm_from" "$storm_to")
    echo "  figures (seed $storm_seed, storm ${storm_seconds} s at 20 %):"
    echo "    chunks alice -> bob: $fig_ab"
    echo "    chunks bob -> alice: $fig_ba"
    echo "      (during/after: [chunks, latency p50 ms, p99 ms], from alice's or bob's broadcast to the other's playing)"
    echo "    faults injected: $(grep -oE '"faults":\{[^}]*\}' <<<"$report") of $(json_number requests <<<"$report") requests"
    echo "    polls per second (alice bob): before $calm, during $during, after $after; back in ${recovered_in} s"
    check "faults were injected ($(grep -oE '"faults":\{[^}]*\}' <<<"$report"))" faults_injected "$report"
    return
  fi
  first_a=$(grep -oE '"ms":[0-9]+' "$root/alice-played" | head -n1 | cut -d: -f2)
  first_b=$(grep -oE '"ms":[0-9]+' "$root/bob-played" | head -n1 | cut -d: -f2)
  # Each heard file from just before its first chunk: the rings before it are no one's voice.
  compare "what bob heard is what alice said" "$speech/alice-said.wav" "$root/bob/heard.wav" \
    --said-t0 "$cap_a" --heard-t0 "$ear_b" --from $((first_b - 100)) --to "$hung" \
    --played "$root/bob-played" --sent "$root/alice-sent" --corr 0.8 --cover 0.7
  delays "$result"
  compare "what alice heard is what bob said" "$speech/bob-said.wav" "$root/alice/heard.wav" \
    --said-t0 "$cap_b" --heard-t0 "$ear_a" --from $((first_a - 100)) --to "$hung" \
    --played "$root/alice-played" --sent "$root/bob-sent" --corr 0.8 --cover 0.7
  delays "$result"
  # The measure tells voices apart: alice's own words are not what she heard.
  compare "what alice heard is not what she said herself" "$speech/alice-said.wav" "$root/alice/heard.wav" \
    --heard-t0 "$ear_a" --from $((first_a - 100)) --to "$hung" --corr 0.8 --cover 0.7 --expect no
}

inbox_of() {
  use "$1"
  send "$2"
  next_event "$1's $2" "$2"
  box=$line
}
# The message with id $1 in $box, or nothing.
message_in_box() { grep -oE '\{[^{}]*\}' <<<"$box" | grep -F "\"id\":\"$1\""; }
inbox_has_one() {
  inbox_of bob inbox
  [ "$(grep -oE '\{[^{}]*\}' <<<"$box" | grep -c '"id"')" -ge 1 ]
}

# Bob's phone again, on the same folder.
bob_restarts() {
  quit_phone bob
  phone_up bob
  saw bob "binds its wallet again" 60 '"connected":true' '"ownHandle":"bob"'
}

# b. bob's answer-phone takes a 12-second message from alice.
message() {
  scenario=message
  local id recorded m
  use bob
  send "answer-phone on"
  expect "bob turns the answer-phone on" '{"changed":true,"event":"answer-phone"}'
  quit_phone alice
  p_audio[alice]=$(audio_json "$speech/message-said.wav" "$root/alice/heard-2.wav")
  configure alice
  phone_up alice
  saw alice "binds its wallet again" 60 '"connected":true' '"ownHandle":"alice"'
  send "call bob"
  saw alice "is asked to leave a message" 90 '"callState":"LeavingMessage"'
  # Mute at once: a 13th second would need a whole second more of sound.
  saw alice "has recorded 12 seconds" 60 '"statusText":"Recording  12 / 60"'
  send "mute on"
  expect "alice mutes" '{"event":"mute","mute":true}'
  send hangup
  saw alice "has left the message" 90 '"callState":"Idle"' '"statusText":"Message left for bob."'
  send "mute off"
  expect "alice unmutes" '{"event":"mute","mute":false}'
  recorded=$(grep -oE '"statusText":"Recording  [0-9]+ / 60"' "${p_out[alice]}" | grep -oE '[0-9]+ /' | tr -d ' /' |
    sort -n | tail -n1)
  check "alice's phone recorded 12 seconds (got ${recorded:-none})" [ "${recorded:-0}" = 12 ]

  check "bob's inbox lists a message" wait_until 90 inbox_has_one
  id=$(grep -oE '"id":"[^"]*"' <<<"$box" | head -n1 | cut -d'"' -f4)
  m=$(message_in_box "$id")
  check "bob's inbox lists alice's 12-second message ($m)" matches "$m" '"from":"alice".*"seconds":12[,}]'
  bob_restarts
  inbox_of bob inbox
  check "after a restart bob's inbox still lists it ($box)" matches "$(message_in_box "$id")" '"seconds":12[,}]'

  use bob
  send "export $id $root/message.wav"
  next_event "bob's export" export
  check "bob exports the message ($line)" matches "$line" '"seconds":1[23][,.]'
  compare "the exported message is what alice said" "$speech/message-said.wav" "$root/message.wav" \
    --corr 0.8 --span 11

  send "save $id"
  next_event "bob's save" save
  check "bob saves it as message 1 ($line)" [ "$line" = "{\"event\":\"save\",\"id\":\"$id\",\"n\":1}" ]
  inbox_of bob saved
  check "bob's saved messages list it ($box)" matches "$(message_in_box "$id")" '"seconds":12[,}]'
  inbox_of bob inbox
  check "saved, the inbox marks it heard until the next load ($box)" matches "$(message_in_box "$id")" '"heard":true'
  use bob
  send "delete $id"
  expect "bob deletes it" "{\"deleted\":true,\"event\":\"delete\",\"id\":\"$id\"}"
  inbox_of bob inbox
  check "the inbox no longer lists it" [ -z "$(message_in_box "$id")" ]
  inbox_of bob saved
  check "the saved messages no longer list it" [ -z "$(message_in_box "$id")" ]
  bob_restarts
  inbox_of bob inbox
  check "after a restart the inbox still does not list it ($box)" [ -z "$(message_in_box "$id")" ]
  inbox_of bob saved
  check "after a restart the saved messages still do not list it ($box)" [ -z "$(message_in_box "$id")" ]
  send "answer-phone off"
  expect "bob turns the answer-phone off" '{"changed":true,"event":"answer-phone"}'
}

# c. alice hears herself from the echo line.
# True once the clock has reached $1 and the echo line has sent no chunk for 1.5 s.
echo_quiet() {
  local n
  n=$(last_n echo sent)
  if [ "$n" != "${quiet_n-}" ]; then quiet_n=$n quiet_since=$(now_ms); fi
  clock_reached "$1" && clock_reached $((quiet_since + 1500))
}
echo_line() {
  scenario=echo
  local cap ear first hung
  quit_phone alice
  p_audio[alice]=$(audio_json "$speech/echo-said.wav" "$root/alice/heard-3.wav")
  configure alice
  phone_up alice
  saw alice "binds its wallet again" 60 '"connected":true' '"ownHandle":"alice"'
  cap=$(now_ms)
  send "call echo"
  saw alice "is talking to the echo line" 60 '"callState":"Talking"'
  ear=$(ear_clock "$root/alice/heard-3.wav")
  check "alice's speech has played into her microphone" wait_until 60 clock_reached $((cap + echo_end + 1000))
  check "the echo line has played every chunk alice sent" wait_until 30 caught_up alice echo
  played=$(now_ms)
  # What it played reaches its microphone a second later and goes back as chunks of its own:
  # wait until the last of it has had that second and a whole chunk's length, and the echo
  # line has sent nothing for 1.5 s, however slowly a sanitizer build runs.
  check "the echo line has heard all it played" wait_until 60 clock_reached $((cap + echo_end + 4500))
  check "the echo line has sent back all it heard" wait_until 60 echo_quiet $((played + 3000))
  check "alice has played every chunk the echo line sent" wait_until 30 caught_up echo alice
  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"'
  saw echo "hears the hang-up" 60 '"callState":"Idle"'
  hung=$(now_ms)
  voice_lines alice played "$root/alice-echo-played"
  voice_lines alice sent "$root/alice-echo-sent"
  echo "  echo: alice sent $(wc -l <"$root/alice-echo-sent") chunks and played $(wc -l <"$root/alice-echo-played") back"
  first=$(grep -oE '"ms":[0-9]+' "$root/alice-echo-played" | head -n1 | cut -d: -f2)
  check "alice heard something back" [ -n "$first" ]
  compare "what alice heard back is what she said" "$speech/echo-said.wav" "$root/alice/heard-3.wav" \
    --said-t0 "$cap" --heard-t0 "$ear" --from $((first - 100)) --to "$hung" --corr 0.8 --cover 0.7
  delays "$result"
}


keep_dir=${STORM_KEEP:-}
t_start=$(now_ms)
[ "$mode" = calm ] || echo "  storm seed $storm_seed (STORM_SEED=$storm_seed repeats its fates)"
make_speech
p_audio[alice]=$(audio_json "$speech/alice-said.wav" "$root/alice/heard.wav" "${alice_chunk_ms:-}")
p_audio[bob]=$(audio_json "$speech/bob-mic.wav" "$root/bob/heard.wav" "${bob_chunk_ms:-}")
p_args[echo]=--echo
if [ "$mode" = calm ]; then setup alice bob echo; else setup alice bob; fi
the_call
if [ "$mode" = calm ]; then
  message
  echo_line
fi
all_quit
scenario=chain  # every transaction of the run, checked with @bsv/sdk alone
chain_check "${phones[@]}"
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

#!/usr/bin/env bash
# alice and bob speaking in a call. calm: 0.2 s chunks heard as said, muted bob silent, a 12 s
# answer-phone message, an echo line. storm: 20 % of requests fail for STORM_SECONDS (STORM_SEED),
# both stay Talking and catch up. Both: every chunk played once, in order; run_check.mjs checks all.
# Usage: storm.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-node calm|storm
set -uo pipefail
phone=$1 vaultra=$2 devnet=$3 node=${4:-} mode=${5:-storm}
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_tools storm.sh curl espeak-ng ffmpeg python3
need_node storm.sh
[ "$mode" = calm ] || [ "$mode" = storm ] || { echo "storm.sh: MODE is calm or storm, not '$mode'"; exit 1; }
storm_seconds=${STORM_SECONDS:-180}
storm_seed=${STORM_SEED:-$(($(date +%s) % 100000))}
chunk_ms=""
[ "$mode" = storm ] || chunk_ms=200  # calm: the shortest call delay, the most chunks and coins
block_interval=10   # blocks confirm each chunk's change, so a long call never runs out of coins
keep_dir=${STORM_KEEP:-}
make_speech() {
  scenario=speech
  say_call_lines
  if [ "$mode" = storm ]; then
    local need=$((storm_seconds + 90)) a=() b=() i
    for ((i = 0; i < need / 12 + 1; i++)); do a+=("$speech/alice.wav" silence:0.5) b+=("$speech/bob.wav" silence:0.5); done
    join "$speech/alice-said.wav" silence:3 "${a[@]}"
    join "$speech/bob-mic.wav" silence:2 "${b[@]}"
    check "bob's speech lasts the call (${length_ms} ms)" eval "((length_ms / 1000 > need))"
    return
  fi
  # The leads cover the wait for the answer (alice) and the last ring's microphone hold-off (bob).
  join "$speech/alice-said.wav" silence:3 "$speech/alice.wav"
  alice_end=$length_ms
  join "$speech/bob-said.wav" silence:2 "$speech/bob.wav"
  bob_end=$length_ms
  # bob goes on speaking after a pause, muted by then.
  join "$speech/bob-mic.wav" "$speech/bob-said.wav" silence:8 "$speech/bob.wav" silence:1
  bob_muted_end=$length_ms
  # The answer-phone records a stretch of it, so the speech runs far past any wait for the beep.
  join "$speech/message-said.wav" "$speech/alice.wav" "$speech/alice.wav" "$speech/alice.wav"
  # The echo answers after one ring (two under a sanitizer); the microphone drops what it hears while one rings.
  join "$speech/echo-said.wav" silence:8 "$speech/alice.wav"
  echo_end=$length_ms
}
only_talking() { ! tail -n +"$2" "${p_out[$1]}" | grep -oE '"callState":"[A-Za-z]+"' | grep -qv Talking; }
# FROM sent 1..N in order and TO played the first M >= SEEN: nothing lost, doubled or reordered.
played_through() {
  local sent played
  sent=$(voice_ns "$1" sent) played=$(voice_ns "$2" played)
  in_order "$sent" && [ -n "$played" ] && (($(wc -l <<<"$played") >= $3)) && [ "$played" = "$(head -n "$(wc -l <<<"$played")" <<<"$sent")" ]
}
mic_loud() { answer bob mic-level; (($(json_number peak <<<"$line") > 3000)); }
storm_stretch() {
  local report until=$(($(now_ms) + storm_seconds * 1000))
  devnet_post /devnet/storm "{\"rate\":0.2,\"kinds\":[429,503,500,\"slow\",\"drop\"],\"slow_ms\":4000,\"seed\":$storm_seed}" >/dev/null ||
    fail "the devnet refused the storm"
  ok "the storm blows (seed $storm_seed, $storm_seconds s)"
  while (($(now_ms) < until)); do
    only_talking alice "$talk_a" || fail "alice left Talking in the storm"
    only_talking bob "$talk_b" || fail "bob left Talking in the storm"
    sleep 1
  done
  report=$(devnet_post /devnet/storm/stop '{}') || fail "the storm would not stop"
  echo "  faults injected: $(grep -oE '"faults":\{[^}]*\}' <<<"$report") of $(json_number requests <<<"$report") requests"
  check "faults were injected" grep -qE '"faults":\{[^}]*:[1-9]' <<<"$report"
}
first_played() { grep -F '"event":"audio-played"' "${p_out[$1]}" | grep -oE '"ms":[0-9]+' | head -n1 | cut -d: -f2; }
# alice calls bob, they talk (through the storm in that mode), both mute, alice hangs up.
the_call() {
  scenario=call
  local cap_a cap_b ear_a ear_b talk_a talk_b hung seen_ab seen_ba muted_sent who
  use alice
  cap_a=$(now_ms)
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  cap_b=$(now_ms)
  send answer
  saw bob "is talking" 60 '"callState":"Talking"'
  talk_b=$seen
  saw alice "is talking" 60 '"callState":"Talking"'
  talk_a=$seen
  if [ "$mode" = storm ]; then
    check "chunks flow both ways before the storm" wait_until 60 eval '[ -n "$(last_n alice played)" ] && [ -n "$(last_n bob played)" ]'
    storm_stretch
  else
    ear_a=$(ear_clock "$root/alice/heard.wav")
    ear_b=$(ear_clock "$root/bob/heard.wav")
    # Three seconds more see the last chunk through a slow send.
    check "both speeches have played into the microphones" \
      wait_until 90 eval 'clock_reached $((cap_a + alice_end + 3000)) && clock_reached $((cap_b + bob_end + 3000))'
  fi
  # Both mute to see the last chunks through; in the storm the hang-up may cut one waiting on a coin.
  for who in bob alice; do use "$who"; ask "$who mutes" "mute on" '{"event":"mute","mute":true}'; done
  muted_sent=$(last_n bob sent)
  check "bob has played every chunk alice sent" wait_until 60 caught_up alice bob
  seen_ab=$(last_n bob played)
  check "alice has played every chunk bob sent" wait_until 60 caught_up bob alice
  seen_ba=$(last_n alice played)
  if [ "$mode" = calm ]; then
    # Muted, bob's microphone hears his next lines and nothing goes out.
    check "bob's muted microphone hears his next lines" wait_until 60 mic_loud
    check "bob's muted lines have played into his microphone" wait_until 60 clock_reached $((cap_b + bob_muted_end + 1500))
    check "muted, bob sent no chunk (last still $muted_sent)" [ "$(last_n bob sent)" = "$muted_sent" ]
    check "alice played nothing new" [ "$(last_n alice played)" = "$muted_sent" ]
  fi
  check "alice stayed Talking from the answer on" only_talking alice "$talk_a"
  check "bob stayed Talking from the answer on" only_talking bob "$talk_b"
  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."'
  saw bob "hears the hang-up" 60 '"callState":"Idle"' '"statusText":"They hung up."'
  hung=$(now_ms)
  for who in alice bob; do use "$who"; ask "$who unmutes" "mute off" '{"event":"mute","mute":false}'; done
  check "alice sent chunks 1..N and bob played 1..M (M at least $seen_ab), each once, in order" played_through alice bob "$seen_ab"
  check "bob sent chunks 1..N and alice played 1..M (M at least $seen_ba), each once, in order" played_through bob alice "$seen_ba"
  [ "$mode" = calm ] || return 0
  # Each heard file from just before its first chunk: the rings before it are no one's voice.
  compare "what bob heard is what alice said" "$speech/alice-said.wav" "$root/bob/heard.wav" \
    --heard-t0 "$ear_b" --from $(($(first_played bob) - 100)) --to "$hung" --corr 0.8 --cover 0.7
  compare "what alice heard is what bob said" "$speech/bob-said.wav" "$root/alice/heard.wav" \
    --heard-t0 "$ear_a" --from $(($(first_played alice) - 100)) --to "$hung" --corr 0.8 --cover 0.7
  # The measure tells voices apart: alice's own words are not what she heard.
  compare "what alice heard is not what she said herself" "$speech/alice-said.wav" "$root/alice/heard.wav" \
    --heard-t0 "$ear_a" --from $(($(first_played alice) - 100)) --to "$hung" --corr 0.8 --cover 0.7 --expect no
}
msg() { answer bob "$1"; m=$(grep -oE '\{[^{}]*\}' <<<"$line" | grep -F "\"id\":\"$2\""); }
inbox_has_one() { answer bob inbox; grep -q '"id"' <<<"$line"; }
# alice's phone again, her microphone playing MIC and what she hears written to EAR.
alice_speaks() { quit_phone alice; p_audio[alice]=$(audio_json "$1" "$2"); configure alice; phone_again alice; }
message() {
  scenario=message
  local id
  use bob
  ask "bob turns the answer-phone on" "answer-phone on" '{"changed":true,"event":"answer-phone"}'
  alice_speaks "$speech/message-said.wav" "$root/alice/heard-2.wav"
  send "call bob"
  saw alice "is asked to leave a message" 90 '"callState":"LeavingMessage"'
  # Mute at once: a 13th second would need a whole second more of sound.
  saw alice "has recorded 12 seconds" 60 '"statusText":"Recording  12 / 60"'
  ask "alice mutes" "mute on" '{"event":"mute","mute":true}'
  send hangup
  saw alice "has left the message" 90 '"callState":"Idle"' '"statusText":"Message left for bob."'
  ask "alice unmutes" "mute off" '{"event":"mute","mute":false}'
  check "alice's phone recorded no 13th second" not grep -qF '"statusText":"Recording  13 / 60"' "${p_out[alice]}"
  check "bob's inbox lists a message" wait_until 90 inbox_has_one
  id=$(grep -oE '"id":"[^"]*"' <<<"$line" | head -n1 | cut -d'"' -f4)
  msg inbox "$id"
  check "bob's inbox lists alice's 12-second message" matches "$m" '"from":"alice".*"seconds":12[,}]'
  answer bob "export $id $root/message.wav" export
  check "bob exports the message ($line)" matches "$line" '"seconds":1[23][,.]'
  compare "the exported message is what alice said" "$speech/message-said.wav" "$root/message.wav" --corr 0.8 --span 11
  ask "bob turns the answer-phone off" "answer-phone off" '{"changed":true,"event":"answer-phone"}'
}
# True once the clock has reached $1 and the echo line has sent no chunk for 1.5 s.
echo_quiet() {
  local n
  n=$(last_n echo sent)
  [ "$n" = "${quiet_n-}" ] || quiet_n=$n quiet_since=$(now_ms)
  clock_reached "$1" && clock_reached $((quiet_since + 1500))
}
echo_line() {
  scenario=echo
  local cap ear played
  alice_speaks "$speech/echo-said.wav" "$root/alice/heard-3.wav"
  cap=$(now_ms)
  send "call echo"
  saw alice "is talking to the echo line" 60 '"callState":"Talking"'
  ear=$(ear_clock "$root/alice/heard-3.wav")
  check "alice's speech has played into her microphone" wait_until 60 clock_reached $((cap + echo_end + 1000))
  check "the echo line has played every chunk alice sent" wait_until 30 caught_up alice echo
  played=$(now_ms)
  # Its playback comes back as chunks a second later: wait that and 1.5 s without one.
  check "the echo line has heard all it played" wait_until 60 clock_reached $((cap + echo_end + 4500))
  check "the echo line has sent back all it heard" wait_until 60 echo_quiet $((played + 3000))
  check "alice has played every chunk the echo line sent" wait_until 30 caught_up echo alice
  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"'
  saw echo "hears the hang-up" 60 '"callState":"Idle"'
  check "alice heard something back" [ -n "$(first_played alice)" ]
  compare "what alice heard back is what she said" "$speech/echo-said.wav" "$root/alice/heard-3.wav" \
    --heard-t0 "$ear" --from $(($(first_played alice) - 100)) --to "$(now_ms)" --corr 0.8 --cover 0.7
}
t_start=$(now_ms)
[ "$mode" = calm ] || echo "  storm seed $storm_seed (STORM_SEED=$storm_seed repeats its fates)"
make_speech
p_audio[alice]=$(audio_json "$speech/alice-said.wav" "$root/alice/heard.wav" "$chunk_ms")
p_audio[bob]=$(audio_json "$speech/bob-mic.wav" "$root/bob/heard.wav" "$chunk_ms")
p_args[echo]=--echo
if [ "$mode" = calm ]; then setup alice bob echo; else setup alice bob; fi
the_call
if [ "$mode" = calm ]; then
  message
  echo_line
fi
all_quit
scenario=chain
chain_check "${phones[@]}"
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

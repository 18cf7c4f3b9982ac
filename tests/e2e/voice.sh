#!/usr/bin/env bash
# Live voice between real phones on one local devnet, with speech that espeak-ng makes at test
# time and WAV files for microphones and loudspeakers. alice, bob and an echo line (dialo-phone
# --echo) each have a funded wallet and a published handle.
#   call:    alice calls bob, both speak about 20 s in 0.2 s chunks (alice_chunk_ms and
#            bob_chunk_ms set other call delays), alice hangs up. What each heard, aligned with
#            what the other said (tests/e2e/voice_match.py), correlates at 0.8 or better; chunks
#            1..N were sent and played once each, in order; each chunk's mouth-to-ear delay is
#            printed. Then bob mutes, speaks on, and sends nothing.
#   message: bob's answer-phone takes alice's call; alice speaks until her phone has recorded 12
#            seconds, mutes and hangs up. bob's inbox lists a 12-second message from her, also
#            after a restart; its export correlates with what she said; save and delete work,
#            and a deleted message stays deleted after a restart.
#   echo:    alice calls the echo line, speaks 10 s and hears herself back.
#   chain:   every transaction of the run passes @bsv/sdk's interpreter, no output is spent
#            twice, and every event opens with its callee's key and carries a valid signature
#            (tests/interop/run_check.mjs).
# Usage: voice.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-node
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
node=${4:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
source "$here/two_phones.sh"
source "$here/speech.sh"
need_voice_tools voice.sh "$node"

speech=$root/speech
mkdir -p "$speech"

make_speech() {
  scenario=speech
  say_call_lines
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

mic_peak() {
  use "$1"
  send mic-level
  next_event "$1's microphone level" mic-level
  peak=$(json_number peak <<<"$line")
}
mic_loud() { mic_peak "$1" && ((${peak:-0} > 3000)); }

# a. alice and bob talk for about 20 s; then bob, muted, speaks on.
call() {
  scenario=call
  local t0 cap_a cap_b ear_a ear_b talk hung sent_a sent_b first_a first_b muted_sent
  t0=$(now_ms)
  use alice
  cap_a=$(now_ms)
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  use bob
  cap_b=$(now_ms)
  send answer
  saw bob "is talking" 60 '"callState":"Talking"'
  saw alice "is talking" 60 '"callState":"Talking"'
  talk=$(now_ms)
  echo "  call: talking $(since) s after alice's call"
  ear_a=$(ear_clock "$root/alice/heard-1.wav")
  ear_b=$(ear_clock "$root/bob/heard-1.wav")

  # Both have spoken once their files have played (bob's muted lines aside) and what they sent
  # has been played on the other side. Three seconds more see the last chunk through a slow send.
  check "both speeches have played into the microphones" \
    wait_until 90 eval 'clock_reached $((cap_a + alice_end + 3000)) && clock_reached $((cap_b + bob_end + 3000))'
  check "bob has played every chunk alice sent" wait_until 30 caught_up alice bob
  check "alice has played every chunk bob sent" wait_until 30 caught_up bob alice
  sent_a=$(voice_ns alice sent) sent_b=$(voice_ns bob sent)
  check "alice sent chunks 1..$(wc -l <<<"$sent_a"), each once, in order" in_order "$sent_a"
  check "bob sent chunks 1..$(wc -l <<<"$sent_b"), each once, in order" in_order "$sent_b"
  check "bob played alice's chunks 1..N, each once, in order" [ "$(voice_ns bob played)" = "$sent_a" ]
  check "alice played bob's chunks 1..N, each once, in order" [ "$(voice_ns alice played)" = "$sent_b" ]
  echo "  call: alice sent $(wc -l <<<"$sent_a") chunks, bob $(wc -l <<<"$sent_b")"

  # Muted, bob's microphone hears his next lines and nothing goes out.
  use bob
  send "mute on"
  expect "bob mutes" '{"event":"mute","mute":true}'
  muted_sent=$(last_n bob sent)
  mic_peak bob
  check "bob muted before his next lines began (microphone peak ${peak:-none})" [ "${peak:-99999}" -lt 3000 ]
  check "bob's muted microphone hears his next lines" wait_until 60 mic_loud bob
  check "bob's muted lines have played into his microphone" \
    wait_until 60 clock_reached $((cap_b + bob_muted_end + 1500))
  check "muted, bob sent no chunk (last still ${muted_sent})" [ "$(last_n bob sent)" = "$muted_sent" ]
  check "alice played nothing new" [ "$(last_n alice played)" = "$muted_sent" ]
  send "mute off"
  expect "bob unmutes" '{"event":"mute","mute":false}'

  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."'
  saw bob "hears the hang-up" 60 '"callState":"Idle"' '"statusText":"They hung up."'
  hung=$(now_ms)
  echo "  call: $(((hung - talk) / 1000)) s talked"

  voice_lines alice sent "$root/alice-sent"
  voice_lines alice played "$root/alice-played"
  voice_lines bob sent "$root/bob-sent"
  voice_lines bob played "$root/bob-played"
  first_a=$(grep -oE '"ms":[0-9]+' "$root/alice-played" | head -n1 | cut -d: -f2)
  first_b=$(grep -oE '"ms":[0-9]+' "$root/bob-played" | head -n1 | cut -d: -f2)
  # Each heard file from just before its first chunk: the rings before it are no one's voice.
  compare "what bob heard is what alice said" "$speech/alice-said.wav" "$root/bob/heard-1.wav" \
    --said-t0 "$cap_a" --heard-t0 "$ear_b" --from $((first_b - 100)) --to "$hung" \
    --played "$root/bob-played" --sent "$root/alice-sent" --corr 0.8 --cover 0.7
  delays "$result"
  compare "what alice heard is what bob said" "$speech/bob-said.wav" "$root/alice/heard-1.wav" \
    --said-t0 "$cap_b" --heard-t0 "$ear_a" --from $((first_a - 100)) --to "$hung" \
    --played "$root/alice-played" --sent "$root/bob-sent" --corr 0.8 --cover 0.7
  delays "$result"
  # The measure tells voices apart: alice's own words are not what she heard.
  compare "what alice heard is not what she said herself" "$speech/alice-said.wav" "$root/alice/heard-1.wav" \
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

# d. Every transaction of the run, checked with @bsv/sdk alone.
chain() {
  scenario=chain
  chain_check alice bob echo
}

voice() {
  # The shortest call delay the Settings card offers: the most chunks, coins and play-out waits.
  alice_chunk_ms=${alice_chunk_ms:-200} bob_chunk_ms=${bob_chunk_ms:-200}
  make_speech
  p_audio[alice]=$(audio_json "$speech/alice-said.wav" "$root/alice/heard-1.wav" "${alice_chunk_ms:-}")
  p_audio[bob]=$(audio_json "$speech/bob-mic.wav" "$root/bob/heard-1.wav" "${bob_chunk_ms:-}")
  p_args[echo]=--echo
  setup alice bob echo
  call
  message
  echo_line
  all_quit
  chain
}

trap 'end_processes "${p_pid[@]}"; stop_devnet; rm -rf "$root"' EXIT
t_start=$(now_ms)
voice
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

# Speech for phones with the file backend, and what to make of their voice traces; sourced
# after lib.sh and two_phones.sh. $speech names the folder for the speech files.

match="python3 $(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/voice_match.py"

# Speech is kept as 8 kHz mono files: what the phone's microphone makes of any file anyway.

# say NAME VOICE TEXT: NAME.wav, spoken.
say() {
  espeak-ng -v "$2" -s 155 -w "$speech/$1.22k.wav" "$3" &&
    ffmpeg -loglevel error -y -i "$speech/$1.22k.wav" -ar 8000 -ac 1 "$speech/$1.wav"
}

# The tools a voice test runs beside the phones, and node for the chain check: NAME NODE.
need_voice_tools() {
  need_tools "$1" curl espeak-ng ffmpeg python3
  "$2" --version >/dev/null 2>&1 || { echo "$1: node ('$2') does not run; run scripts/setup"; exit 1; }
}

# alice.wav and bob.wav: each one's side of a call, about 12 s, different voices and words.
say_call_lines() {
  say alice en-gb "Good morning. I am calling about the parcel that was left at the front door yesterday.
    It was a large brown box, with a red label on the top. Could you tell me when it will be picked up?
    I will be at home all afternoon, so any time after two is fine. Thank you very much." ||
    fail "espeak-ng could not speak alice's lines"
  say bob en-us "Hello, this is Bob speaking. The weather here has been cold and wet for a whole week now.
    We are planning a trip to the mountains next month. My sister will drive,
    and we will stay in a small cabin near the lake. Let me know if you want to join us." ||
    fail "espeak-ng could not speak bob's lines"
}

# join OUT PART...: voice_match.py make, its length in seconds in $length.
join() {
  local made
  made=$($match make "$@") || fail "could not make $1"
  length=$(grep -oE '"seconds": [0-9.]+' <<<"$made" | grep -oE '[0-9.]+$')
  length_ms=$(awk -v s="$length" 'BEGIN { printf "%d", s * 1000 }')
}

# The file backend: MIC (none for silence) as microphone, EAR written with all that is played.
audio_json() {
  printf '{"backend":"file","input_wav":"%s","output_wav":"%s","output_rate":8000,"output_channels":1,"output_sample":"s16"%s}' \
    "$1" "$2" "${3:+,\"chunk_ms\":$3}"
}

# `setup alice bob`, alice's microphone playing ALICE-MIC and bob's BOB-MIC, what each plays
# written to $root/NAME/heard.wav.
setup_speaking() {
  p_audio[alice]=$(audio_json "$1" "$root/alice/heard.wav" "${alice_chunk_ms:-}")
  p_audio[bob]=$(audio_json "$2" "$root/bob/heard.wav" "${bob_chunk_ms:-}")
  setup alice bob
}

# ---------------------------------------------------------------------------------------
# Voice traces: the "n" of every audio-sent or audio-played line of NAME's current output.

voice_ns() { grep -F "\"event\":\"audio-$2\"" "${p_out[$1]}" | grep -oE '"n":[0-9]+' | cut -d: -f2; }
voice_lines() { grep -F "\"event\":\"audio-$2\"" "${p_out[$1]}" >"$3"; }
last_n() { voice_ns "$1" "$2" | tail -n1; }
# The chunks FROM sent have all been played by TO.
caught_up() { [ "$(last_n "$1" sent)" = "$(last_n "$2" played)" ] && [ -n "$(last_n "$1" sent)" ]; }
# Numbers 1..N, one a line, for N = the count of lines in $1.
in_order() { [ "$(printf '%s\n' "$1")" = "$(seq 1 "$(wc -l <<<"$1")")" ]; }
# PLAYED is the first M lines of SENT, M at least SEEN: nothing lost, doubled or reordered
# up to the last chunk the listener was seen to catch up with.
played_through() {
  local m
  m=$(wc -l <<<"$1")
  [ -n "$1" ] && ((m >= $3)) && [ "$1" = "$(head -n "$m" <<<"$2")" ]
}
clock_reached() { (($(now_ms) >= $1)); }

# The wall time (Unix ms) of the first frame of a phone's output file, while it is written.
ear_clock() {
  local t
  t=$($match clock "$1") || fail "could not read $1"
  echo "$t"
}

# MIC (WAV) against what EAR heard: voice_match.py match with the remaining options.
compare() {
  local what=$1
  shift
  result=$($match match "$@")
  rc=$?
  echo "  $what: $(grep -oE '"corr": [-0-9.]+, "cover": [0-9.]+' <<<"$result")"
  check "$what: $result" [ "$rc" -eq 0 ]
}

# Prints the per-chunk delays of a match result.
delays() {
  python3 -c '
import json, sys
r = json.loads(sys.argv[1])
for c in r.get("chunks", []):
    sent = "sent %+5d ms, " % c["sent"] if "sent" in c else ""
    print("    chunk %3d (%4d ms of sound): %splayed %+5d ms, heard %+5d ms after its first sound was spoken"
          % (c["n"], c["ms"], sent, c["played"], c["heard"]))
for k in ("chunk_delay_ms", "frame_delay_ms"):
    if k in r:
        print("    %s: %s" % (k, r[k]))' "$1"
}


#!/usr/bin/env bash
# A call through a fault storm: alice calls bob on a local devnet, both speak (espeak-ng speech,
# WAV-file sound), and after a calm stretch the devnet answers 20 % of all requests on every
# server with a fault drawn at random (429, 503, 500, a slow answer, a dropped connection) for
# STORM_SECONDS (180 by default); then the storm stops and the call goes on a while.
#   - both phones stay Talking from the answer to alice's hang-up;
#   - every chunk 1..N each side sent was played by the other exactly once, in order (a chunk
#     re-sent after a broadcast that did land is played once); N reaches at least the last
#     chunk sent when both had caught up, since the hang-up may cut one still waiting to go;
#   - each phone's oracle polls per second, counted by the devnet, come back after the storm to
#     at least RECOVER_SHARE of the rate measured in the calm stretch of the same call, within
#     the longest back-off a phone may take (30 s) plus one measuring window;
#   - no coin is spent twice and every transaction passes @bsv/sdk (tests/interop/run_check.mjs).
# Prints the delivered-chunk ratio each way, chunk latency (broadcast to played) p50/p99 during
# and after the storm, the faults injected by kind and the poll rates before, during and after.
# STORM_SEED repeats a run's fates (printed at the start); STORM_SECONDS shortens the storm;
# STORM_KEEP=DIR keeps the run's folder (phones' output, devnet data) there.
# Usage: storm.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-node
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
node=${4:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
source "$here/two_phones.sh"
source "$here/speech.sh"
need_voice_tools storm.sh "$node"

storm_seconds=${STORM_SECONDS:-180}
storm_seed=${STORM_SEED:-$(($(date +%s) % 100000))}
calm_seconds=15           # the in-call poll rate the phones come back to is measured over this
window_seconds=3          # recovery is read in windows this long
after_seconds=15          # the call goes on this long once the rate is back
longest_backoff=30        # seconds: an oracle answer with "error" pauses polling this long
recover_share=${RECOVER_SHARE:-0.7}
# Blocks confirm the change of each chunk's spend, so a long call never runs out of coins.
block_interval=10
speech=$root/speech
mkdir -p "$speech"

make_speech() {
  scenario=speech
  say_call_lines
  # Speech for longer than the call: the phones mute before the end.
  local need=$((calm_seconds + storm_seconds + longest_backoff + window_seconds + after_seconds + 60)) a=() b=() i
  for ((i = 0; i < need / 12 + 1; i++)); do
    a+=("$speech/alice.wav" silence:0.5)
    b+=("$speech/bob.wav" silence:0.5)
  done
  join "$speech/alice-said.wav" silence:3 "${a[@]}"
  check "alice's speech lasts the call (${length} s)" eval "((length_ms / 1000 > need))"
  join "$speech/bob-said.wav" silence:2 "${b[@]}"
  check "bob's speech lasts the call (${length} s)" eval "((length_ms / 1000 > need))"
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

storm_call() {
  scenario=storm
  local t0 talk_a talk_b s0 s1 s2 s3 s_rec calm during rec after storm_from storm_to recovered_in w
  local sent_a sent_b played_a played_b fig_ab fig_ba report
  t0=$(now_ms)
  use alice
  send "call bob"
  saw bob "rings" 60 '"callState":"Incoming"' '"caption":"Incoming  alice"'
  use bob
  send answer
  saw bob "is talking" 60 '"callState":"Talking"'
  talk_b=$seen
  saw alice "is talking" 60 '"callState":"Talking"'
  talk_a=$seen
  echo "  talking $(since) s after alice's call"
  check "chunks flow both ways before the storm" \
    wait_until 60 eval '[ -n "$(last_n alice played)" ] && [ -n "$(last_n bob played)" ]'

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

  # Both mute, so the last chunks can be seen through before the hang-up.
  for who in alice bob; do
    use "$who"
    send "mute on"
    expect "$who mutes" '{"event":"mute","mute":true}'
  done
  # A chunk taken before the mute may still be waiting on a coin and go after the catch-up; the
  # hang-up may cut it. What each had played once caught up must all be there, once, in order.
  local seen_ab seen_ba
  check "bob has played every chunk alice sent" wait_until 60 caught_up alice bob
  seen_ab=$(last_n bob played)
  check "alice has played every chunk bob sent" wait_until 60 caught_up bob alice
  seen_ba=$(last_n alice played)
  check "alice stayed Talking from the answer on" only_talking alice "$talk_a"
  check "bob stayed Talking from the answer on" only_talking bob "$talk_b"
  use alice
  send hangup
  saw alice "hung up" 60 '"callState":"Idle"' '"statusText":"Hung up."'
  saw bob "hears the hang-up" 60 '"callState":"Idle"' '"statusText":"They hung up."'
  echo "  call: $((($(now_ms) - t0) / 1000)) s from alice's call to the hang-up"

  sent_a=$(voice_ns alice sent) sent_b=$(voice_ns bob sent)
  played_a=$(voice_ns alice played) played_b=$(voice_ns bob played)
  check "alice sent chunks 1..$(wc -l <<<"$sent_a"), each once, in order" in_order "$sent_a"
  check "bob sent chunks 1..$(wc -l <<<"$sent_b"), each once, in order" in_order "$sent_b"
  voice_lines alice sent "$root/alice-sent"
  voice_lines alice played "$root/alice-played"
  voice_lines bob sent "$root/bob-sent"
  voice_lines bob played "$root/bob-played"
  fig_ab=$(chunk_figures "$root/alice-sent" "$root/bob-played" "$storm_from" "$storm_to")
  fig_ba=$(chunk_figures "$root/bob-sent" "$root/alice-played" "$storm_from" "$storm_to")

  echo "  figures (seed $storm_seed, storm ${storm_seconds} s at 20 %):"
  echo "    chunks alice -> bob: $fig_ab"
  echo "    chunks bob -> alice: $fig_ba"
  echo "      (during/after: [chunks, latency p50 ms, p99 ms], from alice's or bob's broadcast to the other's playing)"
  echo "    faults injected: $(grep -oE '"faults":\{[^}]*\}' <<<"$report") of $(json_number requests <<<"$report") requests"
  echo "    polls per second (alice bob): before $calm, during $during, after $after; back in ${recovered_in} s"
  check "bob played alice's chunks 1..N (N at least $seen_ab), each once, in order (ratio $(json_number delivered <<<"$fig_ab")/$(json_number sent <<<"$fig_ab"))" \
    played_through "$played_b" "$sent_a" "$seen_ab"
  check "alice played bob's chunks 1..N (N at least $seen_ba), each once, in order (ratio $(json_number delivered <<<"$fig_ba")/$(json_number sent <<<"$fig_ba"))" \
    played_through "$played_a" "$sent_b" "$seen_ba"
  check "faults were injected ($(grep -oE '"faults":\{[^}]*\}' <<<"$report"))" faults_injected "$report"
}

# Every transaction of the run, checked with @bsv/sdk alone.
chain() {
  scenario=chain
  chain_check alice bob
}

storm() {
  echo "  storm seed $storm_seed (STORM_SEED=$storm_seed repeats its fates)"
  make_speech
  setup_speaking "$speech/alice-said.wav" "$speech/bob-said.wav"
  storm_call
  all_quit
  chain
}

trap 'end_processes "${p_pid[@]}"; stop_devnet
  [ -z "${STORM_KEEP:-}" ] || cp -r "$root" "$STORM_KEEP"; rm -rf "$root"' EXIT
t_start=$(now_ms)
storm
echo "$(wc -l <"$root/passed") passed, 0 failed, in $((($(now_ms) - t_start) / 1000)) s"

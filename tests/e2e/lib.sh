# Shared harness, sourced once $phone, $vaultra, $devnet are set: scratch root, devnet, phones on fifos.
root=$(mktemp -d)
trap 'end_processes "${p_pid[@]}"; stop_devnet
  [ -z "${keep_dir:-}" ] || { cp -r "$root" "$keep_dir" && echo "the run is kept in $keep_dir"; }; rm -rf "$root"' EXIT
# The phone would open a terminal running `vaultra watch` on a desktop; here the test answers.
unset DISPLAY WAYLAND_DISPLAY
# A phone that died must show up as a failed write, not kill the script.
trap '' PIPE
: >"$root/passed"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../checks.sh"
scenario="" dir=$root out="" seen=0 rc=0 phone_pid="" devnet_pid="" devnet_dir="" current=""
declare -A p_out=() p_pid=() p_seen=() p_fd=() p_address=() p_runs=() p_audio=() p_network=() p_args=()
declare -A p_mnemonic=() p_funding=() p_identity=()
phones=()
ok() { echo "$scenario: $1" >>"$root/passed"; }
# Every phone's output (without the wallet's progress records), and every log's end.
fail() {
  local f
  echo "FAIL [$scenario] $*"
  for f in "$root"/*/phone-*.out "$root"/*/phone-*.err "$root"/*.log "$devnet_dir/devnet.err"; do
    [ -f "$f" ] && echo "--- ${f#"$root"/}:" && grep -v '"event":"wallet' "$f" | tail -n 60
  done
  echo "$(wc -l <"$root/passed") passed, 1 failed"
  exit 1
}
need_tools() { local t; for t in "${@:2}"; do command -v "$t" >/dev/null || { echo "$1: $t is needed; run scripts/setup"; exit 1; }; done; }
need_node() { "$node" --version >/dev/null 2>&1 || { echo "$1: node ('$node') does not run; run scripts/setup"; exit 1; }; }
# Ends every process named and, after -w, waits for each by its id, at most 20 s each.
end_processes() {
  local waiting=0 p
  [ "${1:-}" != -w ] || { waiting=1; shift; }
  for p in "$@"; do [ -z "$p" ] || kill "$p" 2>/dev/null; done
  ((waiting)) || return 0
  for p in "$@"; do [ -z "$p" ] || { wait_until 20 not kill -0 "$p" 2>/dev/null; wait "$p" 2>/dev/null; }; done
  return 0
}
begin() { scenario=$1 dir=$root/$1; mkdir -p "$dir"; }
orvane() { echo "$dir/Orvane"; }
# vaultra: output in $dir/v.out and $dir/v.err, exit code in $rc; v_in feeds it a line first.
v() { LOCALAPPDATA="$dir" timeout 30 "$vaultra" "$@" >"$dir/v.out" 2>"$dir/v.err"; rc=$?; }
v_in() { printf '%s\n' "$1" | LOCALAPPDATA="$dir" timeout 30 "$vaultra" "${@:2}" >"$dir/v.out" 2>"$dir/v.err"; rc=$?; }
# The devnet's network with extra keys ($3) and the audio object $2 (default: silence).
configure_phone() {
  mkdir -p "$(orvane)/dialo"
  head -n1 "$1" | sed "s|}\$|,\"audio\":${2:-{\"backend\":\"file\"\}}}|" |
    sed "s|\"network\":{|\"network\":{${3:+$3,}|" >"$(orvane)/dialo/phone.json"
}
configure() { dir=$root/$1; configure_phone "$root/devnet.out" "${p_audio[$1]:-}" "${p_network[$1]:-}"; dir=$root; }
# Blocks only from `dialo-devnet mine` unless block_interval is set; 0 seconds: no time limit (scripts/demo).
start_devnet() {
  devnet_dir=$dir
  : >"$dir/devnet.out"
  LOCALAPPDATA="$dir" timeout "${devnet_seconds:-900}" "$devnet" serve --port 0 --directory-port 0 \
    --block-interval "${block_interval:-0}" ${devnet_args[@]+"${devnet_args[@]}"} >"$dir/devnet.out" 2>"$dir/devnet.err" &
  devnet_pid=$!
  wait_until 20 eval '[ -s "$dir/devnet.out" ] || ! kill -0 $devnet_pid' || fail "the devnet printed nothing within 20 s"
  port=$(head -n1 "$dir/devnet.out" | json_number service_port)
  check "devnet serving on port ${port:-none}" between "${port:-x}" 0 65536
  ca="$(orvane)/devnet-ca.pem"
  configure_phone "$dir/devnet.out"
}
stop_devnet() { end_processes -w "$devnet_pid"; devnet_pid=""; }
devnet_get() { curl -sS --fail --max-time 20 --cacert "$ca" "https://127.0.0.1:$port$1"; }
devnet_post() { curl -sS --fail --max-time 20 --cacert "$ca" -H 'Content-Type: application/json' -d "$2" "https://127.0.0.1:$port$1"; }
# Holds the devnet's next answer under path prefix $1 for $2 ms.
hold() { devnet_post /devnet/fault "{\"path_prefix\":\"$1\",\"delay_ms\":$2,\"count\":1}" >/dev/null; }
no_fault_pending() { [ "$(devnet_get /devnet/status | json_number faults)" = 0 ]; }
dn() { LOCALAPPDATA="$root" timeout 60 "$devnet" "$@" --port "$port" >"$root/d.out" 2>"$root/d.err"; rc=$?; }
# Transactions that pay an address, as the phones' poller lists them.
paying() { devnet_get "/oi/oracle/dialo/txids?address=$1&limit=1000" | grep -oE '[0-9a-f]{64}'; }
published() { [ -n "$(devnet_get "/api/bsvalias/id/$1@orvane.test" | json_text pubkey)" ]; }
use() {
  [ -z "$current" ] || { p_seen[$current]=$seen; p_pid[$current]=$phone_pid; }
  current=$1 out=${p_out[$1]} seen=${p_seen[$1]} phone_pid=${p_pid[$1]}
}
send() { printf '%s\n' "$1" >&"${p_fd[$current]}" || fail "could not send '$1' to $current: the phone no longer reads"; }
# Starts NAME's phone (arguments p_args[NAME]); every start writes a new output file.
phone_up() {
  local who=$1 d=$root/$1 fd
  [[ " ${phones[*]} " == *" $who "* ]] || phones+=("$who")
  p_runs[$who]=$((${p_runs[$who]:-0} + 1))
  p_out[$who]=$d/phone-${p_runs[$who]}.out
  mkdir -p "$d" && rm -f "$d/in" && mkfifo "$d/in" && : >"${p_out[$who]}"
  # shellcheck disable=SC2086 # the arguments are words
  LOCALAPPDATA="$d" timeout "${phone_seconds:-900}" "$phone" ${p_args[$who]:-} <"$d/in" >"${p_out[$who]}" 2>"${p_out[$who]%.out}.err" &
  p_pid[$who]=$!
  exec {fd}>"$d/in"
  p_fd[$who]=$fd p_seen[$who]=0 current=""
  use "$who"
  expect "$who's phone is ready" '{"event":"ready"}'
}
phone_again() { phone_up "$1"; saw "$1" "binds its wallet again" 60 '"connected":true' "\"ownHandle\":\"$1\""; }
closed() { local fd=${p_fd[$1]}; exec {fd}>&-; }
phone_ended() { ! kill -0 "$phone_pid" 2>/dev/null; }
# The dialo-phone process itself: the child of $phone_pid, its timeout.
phone_process() { grep -lE "^[0-9]+ \(.*\) . $phone_pid " /proc/[0-9]*/stat 2>/dev/null | head -n1 | cut -d/ -f3; }
phone_gone() {
  local who=$1 seconds=$2 want=$3 code
  check "$who's phone ends within $seconds s" wait_until "$seconds" phone_ended
  wait "$phone_pid" 2>/dev/null
  code=$?
  check "$who's phone exit code $want (got $code)" [ "$code" -eq "$want" ]
  p_pid[$who]="" phone_pid=""
}
# SIGKILL to NAME's dialo-phone itself, as a crash or power cut would end it.
phone_killed() {
  local pid
  use "$1"
  pid=$(phone_process)
  check "$1's dialo-phone process is found (pid ${pid:-none})" [ -n "$pid" ]
  kill -KILL "$pid"
  phone_gone "$1" 20 137
  closed "$1"
}
quit_phone() { use "$1"; send quit; closed "$1"; phone_gone "$1" "${2:-30}" 0; }
all_quit() { local who; for who in "${phones[@]}"; do [ -z "${p_pid[$who]}" ] || quit_phone "$who"; done; }
# The first whole line after the last one taken that holds every TEXT, its number in $found.
find_line() {
  local n
  n=$(awk -v from="$seen" -v upto="$(wc -l <"$out")" '
    BEGIN { for (i = 1; i < ARGC; i++) { p[i] = ARGV[i]; delete ARGV[i] }; k = ARGC - 1 }
    NR > from && NR <= upto { for (i = 1; i <= k; i++) if (!index($0, p[i])) next; print NR; exit }' "$@" <"$out")
  [ -n "$n" ] && found=$n
}
find_event() { find_line "\"event\":\"$1\""; }
# Waits up to SECONDS for FINDER ARG... to find a line and takes it (in $line), or fails: WHAT.
take() {
  local what=$1 deadline=$(($(now_ms) + $2 * 1000))
  shift 2
  until "$@"; do
    if phone_ended; then "$@" && break; fail "$what: the phone ended first"; fi
    (($(now_ms) < deadline)) || fail "$what: no such line in time (last: $(tail -n1 "$out"))"
    sleep 0.05
  done
  seen=$found
  line=$(sed -n "${found}p" "$out")
}
# A line of NAME's output holding every TEXT within SECONDS (a refresh line at every change).
saw() {
  use "$1"
  take "$1: $2" "$3" find_line "${@:4}"
  ok "$1: $2"
}
next_event() { take "$1 (a \"$2\" line)" "${3:-20}" find_event "$2"; }
expect() {
  next_event "$1" "$(grep -oE '"event":"[^"]*"' <<<"$2" | cut -d'"' -f4)" "${3:-20}"
  check "$1 (got $line)" [ "$line" = "$2" ]
}
ask() { send "$2"; expect "$1" "$3" "${4:-20}"; }
# Sends COMMAND to NAME's phone; its answer, the next line of EVENT (default the command), in $line.
answer() { use "$1"; send "$2"; next_event "$1's $2" "${3:-${2%% *}}" "${4:-60}"; }
status_has() { send status; next_event status status; grep -qF "$1" <<<"$line"; }
status_is() { if wait_until "${3:-0}" status_has "$2"; then ok "$1 ($line)"; else fail "$1 (last $line)"; fi; }
history_of() { answer "$1" history; history=$line; }
records() {
  local recs t
  recs=$(grep -oE '\{[^{}]*\}' <<<"$history")
  for t in "$@"; do recs=$(grep -F -- "$t" <<<"$recs"); done
  grep -c . <<<"$recs"
}
# A devnet and, for each NAME, a funded wallet, its phone connected, coins split, handle published.
setup() {
  local who counts short deadline=$(($(now_ms) + 180000))
  scenario=setup dir=$root phones=("$@")
  start_devnet
  for who in "$@"; do
    configure "$who"
    dir=$root/$who
    v --json create --handle "$who"
    p_address[$who]=$(json_text address <"$dir/v.out")
    p_mnemonic[$who]=$(json_text mnemonic <"$dir/v.out") p_identity[$who]=$(json_text identity_address <"$dir/v.out")
    check "vaultra creates $who's wallet ($rc: $(cat "$dir/v.err"))" matches "${p_address[$who]}" '^1[1-9A-HJ-NP-Za-km-z]{25,34}$'
    v --json fund 200000 --confirm
    p_funding[$who]=$(json_text txid <"$dir/v.out")
    check "the faucet pays $who in a block ($rc: $(cat "$dir/v.err"))" matches "${p_funding[$who]}" '^[0-9a-f]{64}$'
  done
  dir=$root
  for who in "$@"; do phone_up "$who"; done
  for who in "$@"; do saw "$who" "connected to its only wallet" 60 '"connected":true' "\"ownHandle\":\"$who\""; done
  # Each phone splits its coin once connected; blocks follow until every piece is ready.
  while :; do
    dn mine
    check "dialo-devnet mine ($rc: $(cat "$root/d.err"))" [ "$rc" -eq 0 ]
    counts="" short=0
    for who in "$@"; do
      answer "$who" coins
      counts+=" $who $(json_number ready <<<"$line")"
      (($(json_number ready <<<"$line") >= 120)) || short=1
    done
    ((short == 0)) && break
    (($(now_ms) < deadline)) || fail "fewer than 120 ready coins after 180 s ($counts)"
    sleep 1
  done
  ok "every phone's coins are split and ready ($counts)"
  for who in "$@"; do check "$who's handle is published" wait_until 60 published "$who"; done
}
# Every transaction valid, nothing spent twice, every event opened (interop/run_check.mjs).
chain_check() {
  local who
  for who in "$@"; do echo "$who ${p_address[$who]} ${p_funding[$who]} ${p_mnemonic[$who]}"; done >"$root/wallets"
  (cd "$here/../interop" && "$node" run_check.mjs "$root/alice/Orvane/dialo/phone.json" "$root/wallets") >"$root/chain.out" 2>&1
  rc=$?
  grep '^run_check:' "$root/chain.out" | sed 's/^/  /'
  check "run_check.mjs: every transaction valid, nothing spent twice, every event opened (exit code $rc: $(
    grep -v '^run_check:' "$root/chain.out" | tail -n 20))" [ "$rc" -eq 0 ]
}
match="python3 $here/voice_match.py"
say() {
  espeak-ng -v "$2" -s 155 -w "$speech/$1.22k.wav" "$3" && ffmpeg -loglevel error -y -i "$speech/$1.22k.wav" -ar 8000 -ac 1 "$speech/$1.wav" ||
    fail "espeak-ng could not speak $1's lines"
}
# alice.wav and bob.wav: each one's side of a call, about 12 s, different voices and words.
say_call_lines() {
  speech=$root/speech
  mkdir -p "$speech"
  say alice en-gb "Good morning. I am calling about the parcel that was left at the front door yesterday.
    It was a large brown box, with a red label on the top. Could you tell me when it will be picked up?
    I will be at home all afternoon, so any time after two is fine. Thank you very much."
  say bob en-us "Hello, this is Bob speaking. The weather here has been cold and wet for a whole week now.
    We are planning a trip to the mountains next month. My sister will drive,
    and we will stay in a small cabin near the lake. Let me know if you want to join us."
}
# join OUT PART...: voice_match.py make; its length in $length_ms and $length (seconds).
join() { local r; r=$($match make "$@") || fail "could not make $1"; length_ms=${r% *} length=${r#* }; }
# The file backend: MIC (none for silence) as microphone, EAR written with all that is played.
audio_json() {
  printf '{"backend":"file","input_wav":"%s","output_wav":"%s","output_rate":8000,"output_channels":1,"output_sample":"s16"%s}' \
    "$1" "$2" "${3:+,\"chunk_ms\":$3}"
}
voice_ns() { grep -F "\"event\":\"audio-$2\"" "${p_out[$1]}" | grep -oE '"n":[0-9]+' | cut -d: -f2; }
last_n() { voice_ns "$1" "$2" | tail -n1; }
voice_lines() { grep -F "\"event\":\"audio-$2\"" "${p_out[$1]}" >"$3"; }
caught_up() { [ -n "$(last_n "$1" sent)" ] && [ "$(last_n "$1" sent)" = "$(last_n "$2" played)" ]; }
in_order() { [ "$(printf '%s\n' "$1")" = "$(seq 1 "$(wc -l <<<"$1")")" ]; }
clock_reached() { (($(now_ms) >= $1)); }
# The wall time (Unix ms) of the first frame of a phone's output file, while it is written.
ear_clock() { $match clock "$1" || fail "could not read $1"; }
compare() { result=$($match match "${@:2}"); rc=$?; echo "  $1: $result"; check "$1" [ "$rc" -eq 0 ]; }

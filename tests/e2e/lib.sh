# Shared harness of the end-to-end scripts, sourced after they set $phone (and $vaultra, $devnet
# when they use them): a scratch root removed on exit (copied to $keep_dir first when a script
# sets it), scenario bookkeeping, vaultra runs, a devnet on ports it binds itself, and phones
# driven through fifos, every wait bounded.
#
# Each phone has a NAME and its data folder $root/NAME; `use NAME` points the helpers ($out,
# $err, $seen, $phone_pid) at it, keeping the others' places in their output. A scenario run by
# run_scenarios is a function in its own subshell; the first failed check ends it. Every passed
# check is one line in $root/passed, so the summary counts checks.

root=$(mktemp -d)
trap 'end_processes "${p_pid[@]}"; stop_devnet
  [ -z "${keep_dir:-}" ] || { cp -r "$root" "$keep_dir" && echo "the run is kept in $keep_dir"; }; rm -rf "$root"' EXIT
# The phone would open a terminal running `vaultra watch` on a desktop; here the test answers.
unset DISPLAY WAYLAND_DISPLAY
# A phone that died must show up as a failed write, not kill the script.
trap '' PIPE
: >"$root/passed"

scenario="" dir=$root out="" err="" seen=0 rc=0 phone_pid="" devnet_pid="" devnet_dir="" current=""
declare -A p_out=() p_err=() p_pid=() p_seen=() p_fd=() p_address=() p_runs=() p_audio=() p_network=() p_args=() p_mnemonic=()
declare -A p_funding=()
phones=()
# Only a net for a hung phone, far above any honest run on a busy machine.
phone_seconds=${phone_seconds:-900}

ok() { echo "$scenario: $1" >>"$root/passed"; }

# Every phone's output (without the wallet's progress records) and the devnet's errors.
fail() {
  local who f
  echo "FAIL [$scenario] $*"
  for who in "${phones[@]}"; do
    for f in "$root/$who"/phone-*.out; do
      [ -f "$f" ] || continue
      echo "--- $who: $(basename "$f"):"
      grep -v '"event":"wallet' "$f" | tail -n 80
      echo "--- $who: stderr:"
      tail -n 20 "${f%.out}.err"
    done
  done
  [ ! -f "$devnet_dir/devnet.err" ] || { echo "--- devnet stderr:"; tail -n 20 "$devnet_dir/devnet.err"; }
  echo "$(wc -l <"$root/passed") passed, 1 failed"
  exit 1
}

# need_tools SCRIPT TOOL...: ends the script unless every TOOL is on the PATH.
need_tools() {
  local script=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$script: $tool is needed; run scripts/setup"; exit 1; }
  done
}

# Ends every process named (empty ones skipped) and, after -w, waits for each by its id; a bare
# wait would also wait for any long-lived job still running.
end_processes() {
  local waiting=0 p
  [ "${1:-}" != -w ] || { waiting=1; shift; }
  for p in "$@"; do [ -z "$p" ] || kill "$p" 2>/dev/null; done
  ((waiting)) || return 0
  for p in "$@"; do [ -z "$p" ] || wait "$p" 2>/dev/null; done
  return 0
}

source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"

# A fresh folder for one scenario, $root/NAME: the phone NAME's too.
begin() {
  scenario=$1
  dir="$root/$1"
  mkdir -p "$dir"
}

orvane() { echo "$dir/Orvane"; }

# vaultra: output in $dir/v.out and $dir/v.err, exit code in $rc; v_in feeds it a line first.
v() {
  LOCALAPPDATA="$dir" timeout 30 "$vaultra" "$@" >"$dir/v.out" 2>"$dir/v.err"
  rc=$?
}
v_in() {
  local input=$1
  shift
  printf '%s\n' "$input" | LOCALAPPDATA="$dir" timeout 30 "$vaultra" "$@" >"$dir/v.out" 2>"$dir/v.err"
  rc=$?
}

# ---------------------------------------------------------------------------------------
# The devnet, on ports the system chose when it bound them; the phone reads them and the CA
# from its shared file.

devnet_settled() { [ "$(wc -l <"$dir/devnet.out")" -ge 1 ] || ! kill -0 "$devnet_pid" 2>/dev/null; }

# The network from the devnet's first line, with any extra network keys ($3, e.g.
# '"max_call_fee_sats":30000'); sound through WAV files ($2, default none given: a silent
# microphone, and an output that plays in real time into nothing).
configure_phone() {
  mkdir -p "$(orvane)/dialo"
  head -n1 "$1" | sed "s|}\$|,\"audio\":${2:-{\"backend\":\"file\"\}}}|" |
    sed "s|\"network\":{|\"network\":{${3:+$3,}|" >"$(orvane)/dialo/phone.json"
}

# Blocks come only from `dialo-devnet mine` unless block_interval (seconds) is set; the array
# devnet_args adds options.
start_devnet() {
  devnet_dir=$dir
  : >"$dir/devnet.out"
  LOCALAPPDATA="$dir" timeout "${devnet_seconds:-900}" "$devnet" serve --port 0 --directory-port 0 \
    --block-interval "${block_interval:-0}" ${devnet_args[@]+"${devnet_args[@]}"} \
    >"$dir/devnet.out" 2>"$dir/devnet.err" &
  devnet_pid=$!
  wait_until 20 devnet_settled || fail "the devnet printed nothing within 20 s"
  port=$(head -n1 "$dir/devnet.out" | json_number service_port)
  check "devnet serving on port ${port:-none}" between "${port:-x}" 0 65536
  ca="$(orvane)/devnet-ca.pem"
  configure_phone "$dir/devnet.out"
}

stop_devnet() {
  if [ -n "$devnet_pid" ] && kill -0 "$devnet_pid" 2>/dev/null; then
    kill "$devnet_pid"
    wait "$devnet_pid" 2>/dev/null
  fi
  devnet_pid=""
}

# A GET to the devnet through its CA (the body on standard output), and a POST of JSON $2.
devnet_get() { curl -sS --fail --max-time 20 --cacert "$ca" "https://127.0.0.1:$port$1"; }
devnet_post() {
  curl -sS --fail --max-time 20 --cacert "$ca" -H 'Content-Type: application/json' -d "$2" "https://127.0.0.1:$port$1"
}
# Holds the devnet's next answer under path prefix $1 for $2 ms.
hold() { devnet_post /devnet/fault "{\"path_prefix\":\"$1\",\"delay_ms\":$2,\"count\":1}" >/dev/null; }
no_fault_pending() { [ "$(devnet_get /devnet/status | json_number faults)" = 0 ]; }

# ---------------------------------------------------------------------------------------
# Phones, each reading commands from a fifo held open on a descriptor of its own.

use() {
  if [ -n "$current" ]; then
    p_seen[$current]=$seen
    p_pid[$current]=$phone_pid
  fi
  current=$1
  out=${p_out[$1]}
  err=${p_err[$1]}
  seen=${p_seen[$1]}
  phone_pid=${p_pid[$1]}
}

send() { printf '%s\n' "$1" >&"${p_fd[$current]}" || fail "could not send '$1' to $current: the phone no longer reads"; }

# Starts NAME's phone on its folder $root/NAME; every start writes a new output file.
phone_up() {
  local who=$1 d=$root/$1 fd
  [[ " ${phones[*]} " == *" $who "* ]] || phones+=("$who")
  p_runs[$who]=$((${p_runs[$who]:-0} + 1))
  p_out[$who]=$d/phone-${p_runs[$who]}.out
  p_err[$who]=$d/phone-${p_runs[$who]}.err
  mkdir -p "$d"
  rm -f "$d/in"
  mkfifo "$d/in"
  : >"${p_out[$who]}"
  # shellcheck disable=SC2086 # the arguments are words
  LOCALAPPDATA="$d" timeout "$phone_seconds" "$phone" ${p_args[$who]:-} <"$d/in" >"${p_out[$who]}" 2>"${p_err[$who]}" &
  p_pid[$who]=$!
  exec {fd}>"$d/in"
  p_fd[$who]=$fd
  p_seen[$who]=0
  current=""
  use "$who"
  expect "$who's phone is ready" '{"event":"ready"}'
}

closed() {
  local fd=${p_fd[$1]}
  exec {fd}>&-
}

phone_ended() { ! kill -0 "$phone_pid" 2>/dev/null; }

# The id of the dialo-phone process itself: the child of $phone_pid, which is its timeout.
phone_process() { grep -lE "^[0-9]+ \(.*\) . $phone_pid " /proc/[0-9]*/stat 2>/dev/null | head -n1 | cut -d/ -f3; }

# SIGKILL to NAME's dialo-phone itself (not its timeout), as a crash or power cut would end it.
phone_killed() {
  local pid code
  use "$1"
  pid=$(phone_process)
  check "$1's dialo-phone process is found (pid ${pid:-none})" [ -n "$pid" ]
  kill -KILL "$pid"
  check "$1's phone ends after SIGKILL" wait_until 20 phone_ended
  wait "$phone_pid" 2>/dev/null
  code=$?
  check "$1's phone was killed by SIGKILL (exit code $code)" [ "$code" -eq 137 ]
  closed "$1"
  p_pid[$1]=""
  phone_pid=""
}

# NAME quits; it must end within SECONDS (default 30) with exit code 0.
quit_phone() {
  local who=$1 seconds=${2:-30} code
  use "$who"
  send quit
  closed "$who"
  check "$who's phone ends within $seconds s of quit" wait_until "$seconds" phone_ended
  wait "$phone_pid"
  code=$?
  p_pid[$who]=""
  phone_pid=""
  check "$who's phone exit code 0 (got $code)" [ "$code" -eq 0 ]
}

# Every phone still running quits.
all_quit() {
  local who
  for who in "${phones[@]}"; do
    [ -z "${p_pid[$who]}" ] || quit_phone "$who"
  done
}

# The number of the first line of this phone's output after the last one taken that holds
# every TEXT, in $found.
find_line() {
  local total n
  total=$(wc -l <"$out")
  n=$(awk -v from="$seen" -v upto="$total" '
    BEGIN { for (i = 1; i < ARGC; i++) { p[i] = ARGV[i]; delete ARGV[i] }; k = ARGC - 1 }
    NR > from && NR <= upto { for (i = 1; i <= k; i++) if (!index($0, p[i])) next; print NR; exit }' "$@" <"$out")
  [ -n "$n" ] && found=$n
}

# The first output line after the last one taken whose "event" is EVENT, in $found.
find_event() {
  local n
  # Only whole lines: the phone may be half way through writing the last one.
  n=$(head -n "$(wc -l <"$out")" "$out" | tail -n +"$((seen + 1))" | grep -nE "\"event\":\"$1\"[,}]" | head -n1 | cut -d: -f1)
  [ -n "$n" ] && found=$((seen + n))
}

# Waits up to SECONDS for FINDER ARG... to find a line of this phone's output and takes it (in
# $line); fails, saying WHAT, when none comes or the phone ended first.
take() {
  local what=$1 seconds=$2
  shift 2
  local deadline=$(($(now_ms) + seconds * 1000))
  until "$@"; do
    if phone_ended; then
      "$@" && break
      fail "$what: the phone ended first"
    fi
    (($(now_ms) < deadline)) || fail "$what: no such line within $seconds s (last: $(tail -n1 "$out"))"
    sleep 0.05
  done
  seen=$found
  line=$(sed -n "${found}p" "$out")
}

# Waits up to SECONDS for a line of NAME's output, after the last one taken, holding every
# TEXT; takes it. The phone prints a refresh line at every change of what it shows, so a state
# that lasts only a moment is caught too.
saw() {
  local who=$1 what=$2 seconds=$3
  shift 3
  use "$who"
  take "$who: $what" "$seconds" find_line "$@"
  ok "$who: $what"
}

# Waits up to SECONDS (default 20) for the next line of that event and takes it.
next_event() { take "$1 (a \"$2\" line)" "${3:-20}" find_event "$2"; }

# The next line of the event that LINE carries is exactly LINE (within SECONDS).
expect() {
  local event
  event=$(grep -oE '"event":"[^"]*"' <<<"$2" | cut -d'"' -f4)
  next_event "$1" "$event" "${3:-20}"
  check "$1 (got $line)" [ "$line" = "$2" ]
}

# Sends a command and expects its answer (within SECONDS).
ask() {
  send "$2"
  expect "$1" "$3" "${4:-20}"
}

# True when a fresh status line holds TEXT ($line keeps it).
status_has() {
  send status
  next_event "status" status
  grep -qF "$1" <<<"$line"
}

# A status within SECONDS (default: the next one) holds TEXT.
status_is() {
  if wait_until "${3:-0}" status_has "$2"; then ok "$1 ($line)"; else fail "$1 (last $line)"; fi
}

# ---------------------------------------------------------------------------------------

# Runs each named scenario in its own subshell, prints "N passed, M failed" (N counts checks)
# and succeeds when nothing failed and something passed.
run_scenarios() {
  local s failed=0 passed
  for s in "$@"; do
    (
      trap 'end_processes "${p_pid[@]}"; stop_devnet' EXIT
      "$s"
    ) || failed=$((failed + 1))
  done
  passed=$(wc -l <"$root/passed")
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

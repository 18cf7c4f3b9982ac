# Shared harness of the end-to-end scripts, sourced after they set $phone (and $vaultra, $devnet
# when they use them): a scratch root removed on exit, scenario bookkeeping, vaultra runs, a
# devnet on ports it binds itself, and the phone driven through a fifo, every wait bounded.
#
# A scenario is a function run in its own subshell by run_scenarios; the first failed check
# ends it. Every passed check is one line in $root/passed, so the summary counts checks.

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# The phone would open a terminal running `vaultra watch` on a desktop; here the test answers.
unset DISPLAY WAYLAND_DISPLAY
# A phone that died must show up as a failed write, not kill the script.
trap '' PIPE
: >"$root/passed"

scenario="" dir="" phone_pid="" devnet_pid="" out="" err="" seen=0 rc=0
# Only a net for a hung phone, far above any honest run on a busy machine.
phone_seconds=${phone_seconds:-900}

ok() { echo "$scenario: $1" >>"$root/passed"; }

fail() {
  echo "FAIL [$scenario] $*"
  if [ -n "$out" ] && [ -f "$out" ]; then
    echo "--- phone output:"
    cat "$out"
    echo "--- phone stderr:"
    cat "$err"
  fi
  if [ -f "$dir/devnet.err" ]; then
    echo "--- devnet stderr:"
    tail -n 20 "$dir/devnet.err"
  fi
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

# For EXIT traps: ends every process named (empty ones skipped) and, after -w, waits for each by
# its id; a bare wait would also wait for any long-lived job still running.
end_processes() {
  local waiting=0 p
  [ "${1:-}" != -w ] || { waiting=1; shift; }
  for p in "$@"; do [ -z "$p" ] || kill "$p" 2>/dev/null; done
  ((waiting)) || return 0
  for p in "$@"; do [ -z "$p" ] || wait "$p" 2>/dev/null; done
  return 0
}

matches() { [[ $1 =~ $2 ]]; }
# A whole number strictly between two others.
between() { [[ $1 =~ ^-?[0-9]+$ ]] && (($1 > $2 && $1 < $3)); }

source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"

# A fresh platform folder for one scenario.
begin() {
  scenario=$1
  dir="$root/$1"
  mkdir -p "$dir"
  out="$dir/phone.out"
  err="$dir/phone.err"
}

orvane() { echo "$dir/Orvane"; }

# A string or whole-number value from JSON, pretty-printed or compact.
json_text() { tr -d '\n' | grep -o "\"$1\": *\"[^\"]*\"" | head -n1 | sed 's/^[^:]*: *"\(.*\)"$/\1/'; }
json_number() { tr -d '\n' | grep -oE "\"$1\": *-?[0-9]+" | head -n1 | sed 's/^[^:]*: *//'; }

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
# The phone, reading commands from a fifo held open on descriptor 7.

start_phone() {
  rm -f "$dir/in"
  mkfifo "$dir/in"
  : >"$out"
  LOCALAPPDATA="$dir" timeout "$phone_seconds" "$phone" <"$dir/in" >"$out" 2>"$err" &
  phone_pid=$!
  exec 7>"$dir/in"
  seen=0
  expect "phone ready" '{"event":"ready"}'
}

phone_ended() { ! kill -0 "$phone_pid" 2>/dev/null; }

# The id of the dialo-phone process itself: the child of $phone_pid, which is its timeout.
phone_process() { grep -lE "^[0-9]+ \(.*\) . $phone_pid " /proc/[0-9]*/stat 2>/dev/null | head -n1 | cut -d/ -f3; }

# Closes the phone's input after quit; it must end within SECONDS (default 20) with code 0.
stop_phone() {
  send quit
  exec 7>&-
  check "the phone ends within ${1:-20} s of quit" wait_until "${1:-20}" phone_ended
  wait "$phone_pid"
  local code=$?
  phone_pid=""
  check "phone exit code 0 (got $code)" [ "$code" -eq 0 ]
}

kill_phone() {
  if [ -n "$phone_pid" ] && kill -0 "$phone_pid" 2>/dev/null; then
    kill "$phone_pid"
    wait "$phone_pid" 2>/dev/null
  fi
}

# SIGKILL to the current dialo-phone itself (not its timeout), as a crash or power cut would
# end it; WHO names it in the checks.
sigkill_phone() {
  local pid code
  pid=$(phone_process)
  check "$1's dialo-phone process is found (pid ${pid:-none})" [ -n "$pid" ]
  kill -KILL "$pid"
  check "$1's phone ends after SIGKILL" wait_until 20 phone_ended
  wait "$phone_pid" 2>/dev/null
  code=$?
  check "$1's phone was killed by SIGKILL (exit code $code)" [ "$code" -eq 137 ]
}

send() { printf '%s\n' "$1" >&7 || fail "could not send '$1': the phone no longer reads"; }

# The first output line after the last one taken whose "event" is EVENT, in $found.
find_event() {
  local n
  # Only whole lines: the phone may be half way through writing the last one.
  n=$(head -n "$(wc -l <"$out")" "$out" | tail -n +"$((seen + 1))" | grep -nE "\"event\":\"$1\"[,}]" | head -n1 | cut -d: -f1)
  [ -n "$n" ] && found=$((seen + n))
}

# Waits up to SECONDS (default 20) for the next line of that event, in $line; fails early when
# the phone ended.
next_event() {
  local what=$1 event=$2 seconds=${3:-20}
  local deadline=$(($(now_ms) + seconds * 1000))
  until find_event "$event"; do
    if phone_ended; then
      find_event "$event" && break
      fail "$what: the phone ended without a \"$event\" line"
    fi
    (($(now_ms) < deadline)) || fail "$what: no \"$event\" line within $seconds s"
    sleep 0.05
  done
  seen=$found
  line=$(sed -n "${found}p" "$out")
}

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
      trap 'kill_phone; stop_devnet' EXIT
      "$s"
    ) || failed=$((failed + 1))
  done
  passed=$(wc -l <"$root/passed")
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

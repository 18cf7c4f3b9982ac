# Shared harness of the end-to-end scripts, sourced after they set $phone (and $vaultra when
# they call v): a scratch root removed on exit, scenario bookkeeping, vaultra runs, and the
# phone driven through a fifo with every wait bounded by a deadline.
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

# ---------------------------------------------------------------------------------------
# Bookkeeping.

scenario=""
dir=""
phone_pid=""
out=""
err=""
seen=0
# The longest a phone may live: only a net for a hung phone, so far above any honest run on a
# busy machine (a phone that lives through 60 spends and their read-back took over 100 s).
phone_seconds=${phone_seconds:-900}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

ok() { echo "$scenario: $1" >>"$root/passed"; }

fail() {
  echo "FAIL [$scenario] $*"
  if [ -n "$out" ] && [ -f "$out" ]; then
    echo "--- phone output:"
    cat "$out"
    echo "--- phone stderr:"
    cat "$err"
  fi
  # A script may show more of what it ran (a server's log, say).
  if declare -F on_fail >/dev/null; then on_fail; fi
  exit 1
}

not() { ! "$@"; }

check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

# Retries a command every 50 ms until it succeeds; false once SECONDS have passed.
wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.05
  done
}

# A fresh platform folder for one scenario.
begin() {
  scenario=$1
  dir="$root/$1"
  mkdir -p "$dir"
  out="$dir/phone.out"
  err="$dir/phone.err"
}

orvane() { echo "$dir/Orvane"; }

# A string value from a JSON file or text, pretty-printed or compact.
json_text() {
  tr -d '\n' | grep -o "\"$1\": *\"[^\"]*\"" | head -n1 | sed 's/^[^:]*: *"\(.*\)"$/\1/'
}

# A whole-number value from a JSON file or text, pretty-printed or compact.
json_number() {
  tr -d '\n' | grep -oE "\"$1\": *-?[0-9]+" | head -n1 | sed 's/^[^:]*: *//'
}

# ---------------------------------------------------------------------------------------
# vaultra: output in $dir/v.out and $dir/v.err, exit code in $rc.

rc=0
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

# The id of the dialo-phone process itself ($phone_pid is the timeout around it): the process
# whose parent that is.
phone_process() {
  local f stat
  for f in /proc/[0-9]*/stat; do
    read -r stat 2>/dev/null <"$f" || continue
    stat=${stat##*) }
    set -- $stat
    if [ "${2:-}" = "$phone_pid" ]; then
      f=${f#/proc/}
      echo "${f%/stat}"
      return 0
    fi
  done
  return 1
}

stop_phone() {
  send quit
  exec 7>&-
  wait_until 20 phone_ended || fail "the phone did not end after quit"
  wait "$phone_pid"
  local code=$?
  phone_pid=""
  check "phone exit code 0 (got $code)" [ "$code" -eq 0 ]
}

# Ends a phone still running when a scenario fails.
kill_phone() {
  if [ -n "$phone_pid" ] && kill -0 "$phone_pid" 2>/dev/null; then
    kill "$phone_pid"
    wait "$phone_pid" 2>/dev/null
  fi
}

send() { printf '%s\n' "$1" >&7 || fail "could not send '$1': the phone no longer reads"; }

# The first output line after the last one taken whose "event" is EVENT, in $found.
find_event() {
  local n
  # Only whole lines: the phone may be half way through writing the last one.
  n=$(head -n "$(wc -l <"$out")" "$out" | tail -n +"$((seen + 1))" | grep -nE "\"event\":\"$1\"[,}]" | head -n1 | cut -d: -f1)
  [ -n "$n" ] && found=$((seen + n))
}

# Waits up to 20 s for the next line of that event, in $line; fails early when the phone ended.
next_event() {
  local what=$1 event=$2 deadline=$(($(now_ms) + 20000))
  until find_event "$event"; do
    if phone_ended; then
      find_event "$event" && break
      fail "$what: the phone ended without a \"$event\" line"
    fi
    (($(now_ms) < deadline)) || fail "$what: no \"$event\" line within 20 s"
    sleep 0.05
  done
  seen=$found
  line=$(sed -n "${found}p" "$out")
}

# The next line of the event that LINE carries is exactly LINE.
expect() {
  local event
  event=$(grep -oE '"event":"[^"]*"' <<<"$2" | cut -d'"' -f4)
  next_event "$1" "$event"
  check "$1 (got $line)" [ "$line" = "$2" ]
}

# Sends a command and expects its answer.
ask() {
  send "$2"
  expect "$1" "$3"
}

# ---------------------------------------------------------------------------------------

# Runs each named scenario in its own subshell, prints "N passed, M failed" (N counts checks)
# and succeeds when nothing failed and something passed. scenario_cleanup runs as each one
# ends, however it ends.
scenario_cleanup() { kill_phone; }

run_scenarios() {
  local s failed=0 passed
  for s in "$@"; do
    (
      trap scenario_cleanup EXIT
      "$s"
    ) || failed=$((failed + 1))
  done
  passed=$(wc -l <"$root/passed")
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

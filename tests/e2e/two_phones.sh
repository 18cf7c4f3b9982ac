# Several phones at once on one devnet, for the end-to-end scripts; sourced after lib.sh.
# Each phone (alice, bob, ...) has a funded wallet and a published handle in a data folder of
# its own under $root and is driven through a fifo. lib.sh's helpers read $out, $err, $seen and
# $phone_pid; `use NAME` points them at one phone, keeping the others' places in their output.
#
# Before `setup NAME...` a script may set p_audio[NAME] (the phone's "audio" object),
# p_network[NAME] (extra keys of its "network" object) and p_args[NAME] (dialo-phone's
# arguments, e.g. --echo).

declare -A p_out=() p_err=() p_pid=() p_seen=() p_fd=() p_address=() p_runs=() p_audio=() p_network=() p_args=() p_mnemonic=()
declare -A p_funding=()
current=""
phones=()

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

# Every phone's output (without the wallet's progress records) on a failure.
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
  [ ! -f "$root/devnet.err" ] || { echo "--- devnet stderr:"; tail -n 20 "$root/devnet.err"; }
  echo "$(wc -l <"$root/passed") passed, 1 failed"
  exit 1
}

# Writes NAME's phone.json: the devnet's network and its p_audio object.
configure() {
  dir=$root/$1
  configure_phone "$root/devnet.out" "${p_audio[$1]:-}" "${p_network[$1]:-}"
  dir=$root
}

# Starts NAME's phone on its folder; every start writes a new output file.
phone_up() {
  local who=$1 d=$root/$1 fd
  p_runs[$who]=$((${p_runs[$who]:-0} + 1))
  p_out[$who]=$d/phone-${p_runs[$who]}.out
  p_err[$who]=$d/phone-${p_runs[$who]}.err
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

# SIGKILL to NAME's dialo-phone itself (not its timeout), as a crash or power cut would end it.
phone_killed() {
  use "$1"
  sigkill_phone "$1"
  closed "$1"
  p_pid[$1]=""
  phone_pid=""
}

# NAME quits; it must end within 30 s with exit code 0.
quit_phone() {
  local who=$1 code
  use "$who"
  send quit
  closed "$who"
  check "$who's phone ends within 30 s of quit" wait_until 30 phone_ended
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

# Waits up to SECONDS for a line of NAME's output, after the last one taken, holding every
# TEXT; takes it (in $line). The phone prints a refresh line at every change of what it shows,
# so a state that lasts only a moment is caught too.
saw() {
  local who=$1 what=$2 seconds=$3
  shift 3
  use "$who"
  local deadline=$(($(now_ms) + seconds * 1000))
  until find_line "$@"; do
    if phone_ended; then
      find_line "$@" && break
      fail "$who: $what: the phone ended first"
    fi
    (($(now_ms) < deadline)) || fail "$who: $what: no such line within $seconds s (last: $(tail -n1 "$out"))"
    sleep 0.05
  done
  seen=$found
  line=$(sed -n "${found}p" "$out")
  ok "$who: $what"
}

# Seconds since $t0, with tenths.
since() { local d=$(($(now_ms) - t0)); printf '%d.%d' $((d / 1000)) $((d % 1000 / 100)); }

history_of() {
  use "$1"
  send history
  next_event "$1's history" history
  history=$line
}

# Call records in $history that hold TEXT.
records() { grep -oE '\{[^{}]*\}' <<<"$history" | grep -cF "$1"; }

# dialo-devnet's own commands on the test's devnet.
dn() {
  LOCALAPPDATA="$root" timeout 60 "$devnet" "$@" --port "$port" >"$root/d.out" 2>"$root/d.err"
  rc=$?
}

# Transactions that pay an address, as the phones' poller lists them.
paying() { devnet_get "/oi/oracle/dialo/txids?address=$1&limit=1000" | grep -oE '[0-9a-f]{64}'; }

# NAME's ready coins, in $ready.
ready_coins() {
  use "$1"
  send coins
  next_event "$1's coins" coins 60
  ready=$(json_number ready <<<"$line")
}

published() { [ -n "$(devnet_get "/api/bsvalias/id/$1@orvane.test" | json_text pubkey)" ]; }

# A devnet, and for each NAME a wallet with that handle funded with 200000 satoshis in a block
# (its phrase in p_mnemonic, the faucet's txid in p_funding), its phone connected, its coin
# split and confirmed, and its handle published.
setup() {
  scenario=setup
  dir=$root
  phones=("$@")
  start_devnet
  local who
  for who in "$@"; do
    mkdir -p "$root/$who"
    configure "$who"
    dir=$root/$who
    v --json create --handle "$who"
    p_address[$who]=$(json_text address <"$dir/v.out")
    p_mnemonic[$who]=$(json_text mnemonic <"$dir/v.out")
    check "vaultra creates $who's wallet (exit code $rc: $(cat "$dir/v.err"))" \
      matches "${p_address[$who]}" '^1[1-9A-HJ-NP-Za-km-z]{25,34}$'
    v --json fund 200000 --confirm
    p_funding[$who]=$(json_text txid <"$dir/v.out")
    check "the faucet pays $who 200000 sats in a block (exit code $rc: $(cat "$dir/v.err"))" \
      matches "${p_funding[$who]}" '^[0-9a-f]{64}$'
  done
  dir=$root
  for who in "$@"; do phone_up "$who"; done
  for who in "$@"; do
    saw "$who" "connected to its only wallet" 60 '"event":"refresh"' '"connected":true' "\"ownHandle\":\"$who\""
  done
  # Each phone claims its handle and splits its coin on its own once connected; a block then
  # makes the pieces ready. The split may come after a block, so blocks follow until all are.
  local deadline=$(($(now_ms) + 180000)) counts short
  while :; do
    dn mine
    check "dialo-devnet mine (exit code $rc: $(cat "$root/d.err"))" [ "$rc" -eq 0 ]
    counts="" short=0
    for who in "$@"; do
      ready_coins "$who"
      counts+=" $who ${ready:-?}"
      ((${ready:-0} >= 120)) || short=1
    done
    ((short == 0)) && break
    (($(now_ms) < deadline)) || fail "fewer than 120 ready coins after 180 s (${counts# })"
    sleep 1
  done
  ok "every phone has split its coins and the pieces are in a block (${counts# } ready)"
  for who in "$@"; do
    check "$who's handle is published" wait_until 60 published "$who"
  done
}

# Every transaction of the run read back through the devnet and checked by @bsv/sdk, nothing
# spent twice, every event opened with its callee's key (tests/interop/run_check.mjs), for the
# phones NAME...; node is $node.
chain_check() {
  local who why rc
  : >"$root/wallets"
  for who in "$@"; do
    echo "$who ${p_address[$who]} ${p_funding[$who]} ${p_mnemonic[$who]}" >>"$root/wallets"
  done
  (cd "$(dirname "${BASH_SOURCE[0]}")/../interop" && "$node" run_check.mjs "$root/alice/Orvane/dialo/phone.json" "$root/wallets") \
    >"$root/chain.out" 2>&1
  rc=$?
  grep -E '^run_check:' "$root/chain.out" | sed 's/^/  /'
  why="exit code $rc: $(grep -v '^run_check:' "$root/chain.out" | tail -n 20)"
  check "run_check.mjs: every transaction valid, nothing spent twice, every event opened and verified ($why)" \
    [ "$rc" -eq 0 ]
}

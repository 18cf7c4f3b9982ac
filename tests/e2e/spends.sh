#!/usr/bin/env bash
# One funded wallet spending against a local devnet through dialo-phone: a split into 120
# coins, 100 payload spends in a row with the phone killed (SIGKILL) twice part way through
# (once between spends, once while the devnet holds its broadcast), the balance, the handle
# published to the devnet's directory and kept from a second wallet that claims it too, and
# a plain payment. Every transaction is read back from the devnet and its inputs are checked,
# so an outpoint spent twice cannot pass.
# Usage: spends.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
command -v curl >/dev/null || { echo "spends.sh: curl is needed to read the devnet's answers"; exit 1; }

peer=1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH
second=1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP
payloads=100
kill_after=40      # killed once this payload has answered
kill_during=70     # killed while the devnet holds this payload's broadcast

# ---------------------------------------------------------------------------------------
# The devnet, on ports the system chose when it bound them (another test may hold any fixed one).

devnet_pid=""
port=""
dport=""
ca=""

devnet_printed() { [ "$(wc -l <"$dir/devnet.out")" -ge 1 ]; }
devnet_ended() { ! kill -0 "$devnet_pid" 2>/dev/null; }
devnet_settled() { devnet_printed || devnet_ended; }

# Starts the devnet on free ports and reads the ones it bound from the network object it prints.
start_devnet() {
  : >"$dir/devnet.out"
  LOCALAPPDATA="$dir" timeout 900 "$devnet" serve --port 0 --directory-port 0 --block-interval 0 \
    >"$dir/devnet.out" 2>"$dir/devnet.err" &
  devnet_pid=$!
  wait_until 20 devnet_settled || fail "the devnet printed nothing within 20 s"
  devnet_printed || fail "the devnet did not start: $(cat "$dir/devnet.err")"
  port=$(head -n1 "$dir/devnet.out" | json_number service_port)
  dport=$(head -n1 "$dir/devnet.out" | json_number directory_port)
  check "devnet serving on $port (directory $dport)" between "${port:-x}" 0 65536
  check "the devnet's directory port $dport is its own" between "${dport:-x}" 0 65536
  ca="$(orvane)/devnet-ca.pem"
}

stop_devnet() {
  if [ -n "$devnet_pid" ] && kill -0 "$devnet_pid" 2>/dev/null; then
    kill "$devnet_pid"
    wait "$devnet_pid" 2>/dev/null
  fi
  devnet_pid=""
}

scenario_cleanup() {
  kill_phone
  stop_devnet
}

on_fail() {
  if [ -n "$dir" ] && [ -f "$dir/devnet.err" ]; then
    echo "--- devnet stderr:"
    tail -n 20 "$dir/devnet.err"
  fi
}

# The phone reads the devnet's addresses and CA from its shared file.
configure_phone() {
  mkdir -p "$(orvane)/dialo"
  head -n1 "$1" >"$(orvane)/dialo/phone.json"
}

# dialo-devnet's own commands: output in $dir/d.out, exit code in $rc.
dn() {
  LOCALAPPDATA="$dir" timeout 60 "$devnet" "$@" --port "$port" >"$dir/d.out" 2>"$dir/d.err"
  rc=$?
}

# A GET to the devnet through its CA; the body on standard output.
devnet_get() {
  curl -sS --fail --max-time 20 --cacert "$ca" "https://127.0.0.1:$port$1"
}

# A POST of JSON $2 to the devnet.
devnet_post() {
  curl -sS --fail --max-time 20 --cacert "$ca" -H 'Content-Type: application/json' -d "$2" "https://127.0.0.1:$port$1"
}

# The devnet's next broadcast waits $1 ms before it is judged.
delay_broadcast() {
  devnet_post /devnet/fault "{\"path_prefix\":\"/oi/submit\",\"method\":\"POST\",\"delay_ms\":$1}" >/dev/null
}

mempool_is() { [ "$(devnet_get /devnet/status | json_number mempool)" = "$1" ]; }
no_fault_pending() { [ "$(devnet_get /devnet/status | json_number faults)" = 0 ]; }

# A GET to the directory by the platform's name, which only the CA's certificate carries.
directory_get() {
  curl -sS --fail --max-time 20 --cacert "$ca" --resolve "orvane.test:$port:127.0.0.1" "https://orvane.test:$port$1"
}

# ---------------------------------------------------------------------------------------
# Raw transactions, read without help from the devnet's JSON.

# Byte-reversed hex of $1 in $rev.
reverse_hex() {
  local h=$1
  rev=""
  while [ -n "$h" ]; do
    rev=${h:0:2}$rev
    h=${h:2}
  done
}

# The little-endian number in hex $1, in $num.
le_number() {
  reverse_hex "$1"
  num=$((16#${rev:-0}))
}

# The variable-length integer at $pos of $hex, in $val; $pos moves past it.
varint() {
  local first=$((16#${hex:pos:2}))
  ((pos += 2))
  case $first in
    253) le_number "${hex:pos:4}"; ((pos += 4)) ;;
    254) le_number "${hex:pos:8}"; ((pos += 8)) ;;
    255) le_number "${hex:pos:16}"; ((pos += 16)) ;;
    *) num=$first ;;
  esac
  val=$num
}

# Parses the transaction in hex $1: tx_inputs ("txid:vout") and tx_outputs ("sats script").
# False when the bytes do not add up to exactly one transaction.
parse_tx() {
  hex=$1
  pos=8
  tx_inputs=()
  tx_outputs=()
  [[ $hex =~ ^([0-9a-f][0-9a-f])+$ ]] && [ "${#hex}" -gt 20 ] || return 1
  local n i txid sats
  varint
  n=$val
  ((n > 0)) || return 1
  for ((i = 0; i < n; i++)); do
    reverse_hex "${hex:pos:64}"
    txid=$rev
    ((pos += 64))
    le_number "${hex:pos:8}"
    ((pos += 8))
    tx_inputs+=("$txid:$num")
    varint
    ((pos += val * 2 + 8))
  done
  varint
  n=$val
  for ((i = 0; i < n; i++)); do
    le_number "${hex:pos:16}"
    sats=$num
    ((pos += 16))
    varint
    tx_outputs+=("$sats ${hex:pos:val*2}")
    ((pos += val * 2))
  done
  ((pos += 8))
  [ "$pos" -eq "${#hex}" ]
}

# The bytes that hex $1 spells, on standard output.
hex_bytes() { printf '%b' "$(sed 's/../\\x&/g' <<<"$1")"; }

# The txid of raw hex $1 (double SHA-256, shown byte-reversed), in $rev.
txid_of_hex() {
  reverse_hex "$(hex_bytes "$(hex_bytes "$1" | sha256sum | cut -c1-64)" | sha256sum | cut -c1-64)"
}

# The locking script of an address, as the devnet renders it in its unspent list.
address_script() {
  devnet_get "/woc/v1/bsv/main/address/$1/unspent/all" | json_text script
}

# The data output the wallet writes for text $1: OP_FALSE OP_RETURN and one push.
data_script() {
  local bytes size
  bytes=$(printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n')
  size=$((${#bytes} / 2))
  if ((size < 76)); then
    printf '006a%02x%s' "$size" "$bytes"
  elif ((size < 256)); then
    printf '006a4c%02x%s' "$size" "$bytes"
  else
    printf '006a4d%02x%02x%s' $((size & 255)) $((size >> 8)) "$bytes"
  fi
}

# Outputs of the wallet's own transactions not yet spent, and what spent each spent one.
declare -A unspent=()
declare -A spent_by=()

# Fetches transaction $2 from the devnet, checks it is the one named, parses it, in $what's
# name; its inputs must come from earlier own transactions and be spent here for the first
# time. Sum of the inputs in $in_sats, of the outputs in $out_sats.
read_back() {
  local what=$1 txid=$2 raw input
  raw=$(devnet_get "/woc/v1/bsv/main/tx/$txid/hex")
  check "$what: the devnet knows $txid" [ -n "$raw" ]
  txid_of_hex "$raw"
  check "$what: the devnet's bytes hash to that txid" [ "$rev" = "$txid" ]
  check "$what: the bytes parse as one transaction" parse_tx "$raw"
  in_sats=0
  for input in "${tx_inputs[@]}"; do
    check "$what: input $input not spent before (by ${spent_by[$input]:-nothing})" [ -z "${spent_by[$input]:-}" ]
    check "$what: input $input is an output of an earlier own transaction" [ -n "${unspent[$input]:-}" ]
    in_sats=$((in_sats + ${unspent[$input]}))
    spent_by[$input]=$txid
    unset "unspent[$input]"
  done
  out_sats=0
  local o
  for o in "${tx_outputs[@]}"; do ((out_sats += ${o%% *})); done
}

# Outputs of transaction $1 (parsed last) that pay none of the given scripts become unspent.
keep_change() {
  local txid=$1 i o script s payee
  shift
  for ((i = 0; i < ${#tx_outputs[@]}; i++)); do
    o=${tx_outputs[i]}
    script=${o#* }
    payee=0
    for s in "$@"; do [ "$script" = "$s" ] && payee=1; done
    ((payee)) || [ "${o%% *}" -eq 0 ] || unspent[$txid:$i]=${o%% *}
  done
}

# ---------------------------------------------------------------------------------------
# The phone

matches() { [[ $1 =~ $2 ]]; }

# A whole number strictly between two others.
between() { [[ $1 =~ ^-?[0-9]+$ ]] && (($1 > $2 && $1 < $3)); }

differs() { [ -n "$1" ] && [ "$1" != "$2" ]; }

answer_of() { json_text result <<<"$line"; }

# SIGKILL to dialo-phone itself; its output is kept as phone-killed-$1.out.
kill_hard() {
  local pid code
  pid=$(phone_process)
  check "the dialo-phone process is found (pid ${pid:-none})" [ -n "$pid" ]
  kill -KILL "$pid"
  check "the phone ends after SIGKILL" wait_until 20 phone_ended
  wait "$phone_pid" 2>/dev/null
  code=$?
  check "the phone was killed by SIGKILL (exit code $code)" [ "$code" -eq 137 ]
  exec 7>&-
  cp "$out" "$dir/phone-killed-$1.out"
}

# A new phone on the same data folder.
restart() {
  start_phone
  send status
  next_event "status after the restart" status
  check "the restarted phone binds the wallet again (got $line)" grep -qF '"connected":true,' <<<"$line"
}

# Asks for the ready coins; true once there are at least 120.
coins_ready() {
  send coins
  next_event "coins" coins
  ready=$(json_number ready <<<"$line")
  [ -n "$ready" ] && [ "$ready" -ge 120 ]
}

# Payload text number $1: lengths from 1 to about 700 bytes (all three push sizes), words
# separated by blanks, now and then letters outside ASCII; never ends in a blank.
payload_text() {
  local i=$1 len=$((($1 * 97) % 700)) filler="the quick brown fox jumps over the lazy dog 0123456789 " t
  t="p$i "
  while ((${#t} < len)); do t+=$filler; done
  t=${t:0:len}
  ((i % 9 == 0)) && t+=" é ü ✓"
  printf '%s.' "$t"
}

# ---------------------------------------------------------------------------------------

spends() {
  begin spends
  start_devnet
  configure_phone "$dir/devnet.out"
  check "phone.json carries the devnet's port" grep -qF "\"service_port\":$port" "$(orvane)/dialo/phone.json"

  v --json create --handle alice
  check "vaultra create --handle alice exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  v --json show
  check "vaultra show exit code 0 (got $rc)" [ "$rc" -eq 0 ]
  local address identity_pub
  address=$(json_text address <"$dir/v.out")
  identity_pub=$(json_text identity_pub <"$dir/v.out")
  check "the wallet has a receive address ($address)" matches "$address" '^1[1-9A-HJ-NP-Za-km-z]{25,34}$'
  check "the wallet has an identity key ($identity_pub)" matches "$identity_pub" '^0[23][0-9a-f]{64}$'
  v --json fund 100000 --confirm
  check "vaultra fund 100000 --confirm exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  local fund_txid
  fund_txid=$(json_text txid <"$dir/v.out")
  check "the faucet names its transaction ($fund_txid)" matches "$fund_txid" '^[0-9a-f]{64}$'
  unspent[$fund_txid:0]=100000

  local peer_script second_script wallet_script
  peer_script=$(address_script "$peer")
  second_script=$(address_script "$second")
  wallet_script=$(address_script "$address")
  check "the devnet renders the payee's script" matches "$peer_script" '^76a914[0-9a-f]{40}88ac$'
  check "the devnet renders the second payee's script" matches "$second_script" '^76a914[0-9a-f]{40}88ac$'

  # --- The split, a block, and the pool's view catching up.
  start_phone
  send split
  next_event "split" split
  local result
  result=$(answer_of)
  check "split answers success and a txid (got $result)" matches "$result" '^success: [0-9a-f]{64}$'
  local split_txid=${result#success: }
  read_back "split" "$split_txid"
  check "split spends the faucet's coin (spent ${tx_inputs[*]})" [ "${tx_inputs[*]}" = "$fund_txid:0" ]
  local o big=0
  for o in "${tx_outputs[@]}"; do
    [ "${o#* }" = "$wallet_script" ] && [ "${o%% *}" -ge 200 ] && ((big += 1))
  done
  check "split pays the wallet at least 120 coins of 200 sats or more (got $big)" [ "$big" -ge 120 ]
  keep_change "$split_txid"
  dn mine
  check "dialo-devnet mine exit code 0 (got $rc: $(cat "$dir/d.err"))" [ "$rc" -eq 0 ]
  # The pool keeps its post-split view for a while by design, so this asks until it catches up.
  if wait_until 30 coins_ready; then ok "at least 120 coins ready within 30 s ($line)"; else
    fail "fewer than 120 coins ready after 30 s (last answer $line)"
  fi

  # --- 100 payloads in a row, no block between them, and two kills of the phone.
  local i text command txid
  local -a txids=() costs=() texts=() twos=()
  for ((i = 1; i <= payloads; i++)); do
    text=$(payload_text "$i")
    command="payload $peer $text"
    twos[i]=$((i % 5 == 0))
    ((twos[i])) && command+=" $second"
    texts[i]=$text
    if ((i == kill_during)); then
      # The devnet holds the broadcast 10 s, so the kill lands after it has left the phone
      # and before any answer, however busy the machine (the kill follows within a second or
      # two); the devnet then takes it from a sender that no longer exists.
      check "payload $i: a delay set on the devnet's broadcast route" delay_broadcast 10000
      send "$command"
      check "payload $i: the broadcast reached the devnet" wait_until 20 no_fault_pending
      kill_hard "$i"
      check "payload $i: no answer came before the kill" not find_event payload
      check "payload $i: the devnet took it after all" wait_until 60 mempool_is "$i"
      restart
      local known hist
      known=$(printf '%s\n' "${txids[@]}")
      hist=$(devnet_get "/woc/v1/bsv/main/address/$peer/unconfirmed/history" | grep -oE '[0-9a-f]{64}' | grep -vxF "$known")
      check "payload $i: one transaction to the payee that no answer named (got ${hist:-none})" \
        matches "$hist" '^[0-9a-f]{64}$'
      txids[i]=$hist
      costs[i]=""
      continue
    fi
    send "$command"
    next_event "payload $i" payload
    result=$(answer_of)
    check "payload $i answers success, a txid and a cost (got $result)" \
      matches "$result" '^success: ([0-9a-f]{64}) ([0-9]+)$'
    txids[i]=${BASH_REMATCH[1]}
    costs[i]=${BASH_REMATCH[2]}
    if ((i == kill_after)); then
      kill_hard "$i"
      restart
    fi
  done
  local distinct
  distinct=$(printf '%s\n' "${txids[@]}" | sort -u | wc -l)
  check "$payloads distinct txids (got $distinct)" [ "$distinct" -eq "$payloads" ]

  # --- Each payload read back from the devnet, in the order they were answered.
  local pays expected_data data_found
  for ((i = 1; i <= payloads; i++)); do
    txid=${txids[i]}
    read_back "payload $i" "$txid"
    check "payload $i pays the peer 1 sat first (got ${tx_outputs[0]:-nothing})" [ "${tx_outputs[0]:-}" = "1 $peer_script" ]
    pays=1
    if ((twos[i])); then
      check "payload $i pays the second address 1 sat next (got ${tx_outputs[1]:-nothing})" \
        [ "${tx_outputs[1]:-}" = "1 $second_script" ]
      pays=2
    else
      check "payload $i pays the second address nothing" not grep -qF " $second_script" <(printf '%s\n' "${tx_outputs[@]}")
    fi
    expected_data=$(data_script "${texts[i]}")
    data_found=0
    for o in "${tx_outputs[@]}"; do [ "$o" = "0 $expected_data" ] && data_found=1; done
    check "payload $i carries its text in a data output" [ "$data_found" -eq 1 ]
    [ -z "${costs[i]}" ] ||
      check "payload $i costs what it answered: fee $((in_sats - out_sats)) + $pays (answered ${costs[i]})" \
        [ "${costs[i]}" -eq $((in_sats - out_sats + pays)) ]
    keep_change "$txid" "$peer_script" "$second_script"
  done
  dn status
  check "dialo-devnet status exit code 0 (got $rc)" [ "$rc" -eq 0 ]
  local mempool
  mempool=$(json_number mempool <"$dir/d.out")
  check "the devnet's mempool holds exactly the $payloads payloads (got $mempool)" [ "$mempool" = "$payloads" ]

  # --- Balance, and the handle published to the directory.
  send balance
  next_event "balance" balance
  local sats held=0 key
  sats=$(json_number sats <<<"$line")
  for key in "${!unspent[@]}"; do held=$((held + ${unspent[$key]})); done
  # Before this phone has scanned its addresses the balance is unknown (-1) or the last one
  # it saved; never more than was funded.
  check "balance before a scan is unknown or below 100000 (got $line; the wallet's outputs hold $held)" \
    eval '[ "$sats" = -1 ] || between "$sats" 0 100000'
  ask "refresh is done" refresh '{"event":"refresh-done"}'
  send balance
  next_event "balance after refresh" balance
  sats=$(json_number sats <<<"$line")
  check "after refresh the balance is what the wallet's outputs hold ($held; got $sats)" [ "$sats" = "$held" ]
  local reply
  reply=$(directory_get "/api/bsvalias/address/alice@orvane.test")
  check "the directory gives alice the wallet's address (got $reply)" [ "$(json_text address <<<"$reply")" = "$address" ]
  reply=$(directory_get "/api/bsvalias/id/alice@orvane.test")
  check "the directory gives alice the wallet's identity key (got $reply)" \
    [ "$(json_text pubkey <<<"$reply")" = "$identity_pub" ]
  reply=$(curl -sS --fail --max-time 20 --cacert "$ca" "https://127.0.0.1:$dport/api/bsvalias/address/alice@orvane.test")
  check "the directory's same-machine copy agrees (got $reply)" [ "$(json_text address <<<"$reply")" = "$address" ]

  # --- A plain payment.
  send "pay $peer 1000"
  next_event "pay" pay
  result=$(answer_of)
  check "pay answers success and a txid (got $result)" matches "$result" '^success: [0-9a-f]{64}$'
  txid=${result#success: }
  read_back "pay" "$txid"
  check "pay sends 1000 sats to the payee" grep -qxF "1000 $peer_script" <(printf '%s\n' "${tx_outputs[@]}")
  stop_phone

  # --- A second wallet with the same handle, in another data folder, on the same devnet.
  local first=$dir other_address
  dir="$first/other"
  out="$dir/phone.out"
  err="$dir/phone.err"
  mkdir -p "$dir"
  configure_phone "$first/devnet.out"
  v --json create --handle alice
  check "second vaultra create --handle alice exit code 0 (got $rc)" [ "$rc" -eq 0 ]
  other_address=$(json_text address <"$dir/v.out")
  check "the second wallet has another address ($other_address)" differs "$other_address" "$address"
  start_phone
  ask "the second phone's refresh is done" refresh '{"event":"refresh-done"}'
  stop_phone
  dir=$first
  out="$dir/phone.out"
  err="$dir/phone.err"
  reply=$(directory_get "/api/bsvalias/address/alice@orvane.test")
  check "alice still resolves to the first wallet (got $reply)" [ "$(json_text address <<<"$reply")" = "$address" ]
  reply=$(directory_get "/api/bsvalias/id/alice@orvane.test")
  check "alice keeps the first identity key (got $reply)" [ "$(json_text pubkey <<<"$reply")" = "$identity_pub" ]
}

run_scenarios spends

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

mempool_is() { [ "$(devnet_get /devnet/status | json_number mempool)" = "$1" ]; }

# dialo-devnet's own commands: output in $dir/d.out, exit code in $rc.
dn() {
  LOCALAPPDATA="$dir" timeout 60 "$devnet" "$@" --port "$port" >"$dir/d.out" 2>"$dir/d.err"
  rc=$?
}

# A GET to the directory by the platform's name, which only the CA's certificate carries.
directory_get() {
  curl -sS --fail --max-time 20 --cacert "$ca" --resolve "orvane.test:$port:127.0.0.1" "https://orvane.test:$port$1"
}

# The locking script of an address, as the devnet renders it in its unspent list.
address_script() { devnet_get "/woc/v1/bsv/main/address/$1/unspent/all" | json_text script; }

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

# Reads transaction $2 back from the devnet's JSON, in $what's name: tx_inputs ("txid:vout"),
# which must be outputs of earlier own transactions spent here for the first time, and
# tx_outputs ("sats script"). Sum of the inputs in $in_sats, of the outputs in $out_sats.
read_back() {
  local what=$1 txid=$2 body input o
  body=$(devnet_get "/woc/v1/bsv/main/tx/$txid")
  mapfile -t tx_inputs < <(grep -oE '"txid":"[0-9a-f]{64}","vout":[0-9]+' <<<"$body" | sed -E 's/"txid":"(.*)","vout":/\1:/')
  # In the outputs array ("vout":[), each output's script hex comes before its value in BSV.
  mapfile -t tx_outputs < <(grep -oE '"hex":"[0-9a-f]*"|"value":[-0-9.e+]+' <<<"${body#*\"vout\":[}" |
    cut -d: -f2 | tr -d '"' | paste - - | awk '{ printf "%.0f %s\n", $2 * 1e8, $1 }')
  check "$what: the devnet knows $txid with inputs and outputs" \
    eval '[ "${#tx_inputs[@]}" -gt 0 ] && [ "${#tx_outputs[@]}" -gt 0 ]'
  in_sats=0
  for input in "${tx_inputs[@]}"; do
    check "$what: input $input not spent before (by ${spent_by[$input]:-nothing})" [ -z "${spent_by[$input]:-}" ]
    check "$what: input $input is an output of an earlier own transaction" [ -n "${unspent[$input]:-}" ]
    in_sats=$((in_sats + ${unspent[$input]}))
    spent_by[$input]=$txid
    unset "unspent[$input]"
  done
  out_sats=0
  for o in "${tx_outputs[@]}"; do ((out_sats += ${o%% *})); done
}

# Outputs of transaction $1 (read last) that pay none of the given scripts become unspent.
keep_change() {
  local txid=$1 i o s payee
  shift
  for ((i = 0; i < ${#tx_outputs[@]}; i++)); do
    o=${tx_outputs[i]}
    payee=0
    for s in "$@"; do [ "${o#* }" = "$s" ] && payee=1; done
    ((payee)) || [ "${o%% *}" -eq 0 ] || unspent[$txid:$i]=${o%% *}
  done
}

answer_of() { json_text result <<<"$line"; }

# SIGKILL to dialo-phone itself; its output is kept as phone-killed-$1.out.
kill_hard() {
  sigkill_phone "the spending"
  exec 7>&-
  cp "$out" "$dir/phone-killed-$1.out"
}

# A new phone on the same data folder, bound to the wallet again.
restart() {
  start_phone
  status_is "the restarted phone binds the wallet again" '"connected":true,'
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

spends() {
  begin spends
  start_devnet

  v --json create --handle alice
  check "vaultra create --handle alice exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  v --json show
  check "vaultra show exit code 0 (got $rc)" [ "$rc" -eq 0 ]
  local address identity_pub fund_txid peer_script second_script wallet_script
  address=$(json_text address <"$dir/v.out")
  identity_pub=$(json_text identity_pub <"$dir/v.out")
  check "the wallet has an identity key ($identity_pub)" matches "$identity_pub" '^0[23][0-9a-f]{64}$'
  v --json fund 100000 --confirm
  fund_txid=$(json_text txid <"$dir/v.out")
  check "vaultra fund 100000 --confirm names its transaction (exit code $rc, txid $fund_txid)" \
    matches "$fund_txid" '^[0-9a-f]{64}$'
  unspent[$fund_txid:0]=100000
  peer_script=$(address_script "$peer")
  second_script=$(address_script "$second")
  wallet_script=$(address_script "$address")
  check "the devnet renders the wallet's and payees' scripts" \
    matches "$wallet_script $peer_script $second_script" '^(76a914[0-9a-f]{40}88ac ?){3}$'

  # --- The split, a block, and the pool's view catching up.
  start_phone
  send split
  next_event "split" split
  local result split_txid o big=0
  result=$(answer_of)
  check "split answers success and a txid (got $result)" matches "$result" '^success: [0-9a-f]{64}$'
  split_txid=${result#success: }
  read_back "split" "$split_txid"
  check "split spends the faucet's coin (spent ${tx_inputs[*]})" [ "${tx_inputs[*]}" = "$fund_txid:0" ]
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
      check "payload $i: a delay set on the devnet's broadcast route" hold /oi/submit 10000
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
  local pays
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
    check "payload $i carries its text in a data output" \
      grep -qxF "0 $(data_script "${texts[i]}")" <(printf '%s\n' "${tx_outputs[@]}")
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
  # A refresh scans every address the wallet has used: on a busy machine far slower than a command.
  ask "refresh is done" refresh '{"event":"refresh-done"}' 180
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
  local other_address
  begin spends/other
  configure_phone "$root/spends/devnet.out"
  v --json create --handle alice
  other_address=$(json_text address <"$dir/v.out")
  check "a second wallet claims alice from another address ($other_address; exit code $rc)" \
    eval '[ "$rc" -eq 0 ] && [ -n "$other_address" ] && [ "$other_address" != "$address" ]'
  start_phone
  ask "the second phone's refresh is done" refresh '{"event":"refresh-done"}' 180
  stop_phone
  begin spends
  reply=$(directory_get "/api/bsvalias/address/alice@orvane.test")
  check "alice still resolves to the first wallet (got $reply)" [ "$(json_text address <<<"$reply")" = "$address" ]
  reply=$(directory_get "/api/bsvalias/id/alice@orvane.test")
  check "alice keeps the first identity key (got $reply)" [ "$(json_text pubkey <<<"$reply")" = "$identity_pub" ]
}

run_scenarios spends

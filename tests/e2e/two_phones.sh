# Several phones at once on one devnet, for the end-to-end scripts; sourced after lib.sh.
# `setup NAME...` gives each phone (alice, bob, ...) a funded wallet and a published handle in
# its data folder under $root. Before it a script may set p_audio[NAME] (the phone's "audio"
# object), p_network[NAME] (extra keys of its "network" object) and p_args[NAME] (dialo-phone's
# arguments, e.g. --echo).

# Writes NAME's phone.json: the devnet's network and its p_audio object.
configure() {
  dir=$root/$1
  mkdir -p "$dir"
  configure_phone "$root/devnet.out" "${p_audio[$1]:-}" "${p_network[$1]:-}"
  dir=$root
}

# Seconds since T (default $t0), with tenths.
since() { local d=$(($(now_ms) - ${1:-$t0})); printf '%d.%d' $((d / 1000)) $((d % 1000 / 100)); }

history_of() {
  use "$1"
  send history
  next_event "$1's history" history
  history=$line
}

# The number of call records in $history holding every TEXT.
records() {
  local recs t
  recs=$(grep -oE '\{[^{}]*\}' <<<"$history")
  for t in "$@"; do recs=$(grep -F -- "$t" <<<"$recs"); done
  grep -c . <<<"$recs"
}

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

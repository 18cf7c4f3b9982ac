#!/usr/bin/env bash
# dialo-phone and vaultra through their shared files: connect deny/approve/quit, a locked wallet,
# the only wallet bound at start, contacts, vaultra's refusals; statuses answered during a held refresh.
# Usage: connect.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1 vaultra=$2 devnet=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_tools connect.sh curl
create_wallet() {
  v --json create
  wallet_id=$(json_text id <"$dir/v.out") wallet_phrase=$(json_text mnemonic <"$dir/v.out")
  check "vaultra create $wallet_id ($rc: $(cat "$dir/v.err"))" eval '[ "$rc" -eq 0 ] && [ "$(wc -w <<<"$wallet_phrase")" -eq 12 ]'
}
refused() {
  check "$1: refused ($rc, $(cat "$dir/v.err"))" eval \
    '[ "$rc" -eq 1 ] && [ "$(wc -l <"$dir/v.err")" -eq 1 ] && grep -q "[^[:space:]]" "$dir/v.err" && [ ! -s "$dir/v.out" ]'
}
wallet_file() { echo "$(orvane)/wallets/$1/wallet.json"; }
bind_files() { compgen -G "$(orvane)/binds/*.json"; }
no_bind_file() { ! bind_files >/dev/null; }
bound_to() { local f; f=$(bind_files) && [ "$(wc -l <<<"$f")" -eq 1 ] && [ "$(json_text wallet_id <"$f")" = "$1" ]; }
# A request vaultra has not answered yet (an answered one stays beside its reply).
has_request() {
  local f
  for f in "$(orvane)"/connect/*.req.json; do [ -e "$f" ] && [ ! -e "${f%.req.json}.rep.json" ] && return 0; done
  return 1
}
connect_with() {
  send connect
  check "connect request written" wait_until 20 has_request
  v "$@"
  check "vaultra $* ($rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
}
# Two wallets, so nothing binds at start-up.
deny_approve_disconnect() {
  begin approve
  create_wallet
  create_wallet
  local file before
  file=$(wallet_file "$wallet_id")
  phone_up approve
  status_is "not connected at start" '"connected":false,'
  connect_with deny
  expect "connect denied" '{"event":"connect","result":"error: connect denied in Vaultra."}'
  status_is "not connected after deny" '"connected":false,'
  check "no bind file after deny" no_bind_file
  v_in pw lock "$wallet_id"
  check "vaultra lock ($rc)" [ "$rc" -eq 0 ]
  check "locked file holds no phrase" not grep -qF "$wallet_phrase" "$file"
  connect_with approve --wallet "$wallet_id"
  expect "connect to a locked wallet refused" '{"event":"connect","result":"error: This wallet is locked. Open it in Vaultra."}'
  status_is "not connected to a locked wallet" '"connected":false,'
  before=$(sha256sum <"$file")
  v_in wrong unlock "$wallet_id"
  refused "unlock with a wrong password"
  check "wrong password leaves the file as it was" [ "$(sha256sum <"$file")" = "$before" ]
  v_in pw unlock "$wallet_id"
  check "unlocked with the right password, the file holds the phrase again ($rc)" \
    eval '[ "$rc" -eq 0 ] && [ "$(json_text mnemonic <"$file")" = "$wallet_phrase" ] && ! grep -q "\"lock\"" "$file"'
  # The approval stands, so the wallet is usable as soon as it is opened.
  status_is "connected once unlocked" '"connected":true,' 20
  check "bind file names the approved wallet" bound_to "$wallet_id"
  ask "disconnect succeeds" disconnect '{"event":"disconnect","result":"success"}'
  status_is "not connected after disconnect" '"connected":false,'
  check "bind file removed by disconnect" no_bind_file
  # A connect now waits for an approval that never comes; quit must not wait.
  send connect
  check "connect request written" wait_until 20 has_request
  quit_phone approve 10
}
contacts() {
  begin contacts
  create_wallet
  local file before one='{"contacts":[{"dest":"alice","note":"friend"}],"event":"contacts"}'
  file=$(wallet_file "$wallet_id")
  phone_up contacts
  check "the only wallet is bound at start-up, without a connect request" wait_until 20 eval 'bound_to "$wallet_id" && ! has_request'
  ask "add @Alice" 'contact-add @Alice hello' '{"event":"contact-add","result":"success"}'
  ask "add alice again with a new note" 'contact-add alice friend' '{"event":"contact-add","result":"success"}'
  ask "one contact, the note replaced" contacts "$one"
  check "wallet file keeps its phrase" [ "$(json_text mnemonic <"$file")" = "$wallet_phrase" ]
  check "wallet file holds the contact" grep -qF '"contacts":[{"dest":"alice","note":"friend"}]' <(tr -d ' \n' <"$file")
  before=$(sha256sum <"$file")
  ask "removing an unknown contact refused" 'contact-remove bob' '{"event":"contact-remove","result":"error: that contact is not in the list."}'
  ask "disconnect succeeds" disconnect '{"event":"disconnect","result":"success"}'
  ask "add without a wallet refused" 'contact-add carol x' '{"event":"contact-add","result":"error: no Vaultra wallet. Create first."}'
  check "the refused remove and add leave the file as it was" [ "$(sha256sum <"$file")" = "$before" ]
  quit_phone contacts
  # A new start binds the only wallet again and reads the contact back from its file.
  phone_up contacts
  ask "contact read back after a restart" contacts "$one"
  quit_phone contacts
}
bad_input() {
  begin bad_input
  create_wallet
  local before shown
  snapshot() { (cd "$(orvane)" && find wallets | sort && find wallets wallets.json -type f | sort | xargs sha256sum); }
  before=$(snapshot)
  # Every local user could read a phrase on the command line.
  v restore "$wallet_phrase"
  refused "restore of a phrase given on the command line"
  check "saying how to give it instead" grep -qF "type it when asked, or pipe it in" "$dir/v.err"
  # Twelve list words whose last one does not carry the checksum.
  v_in "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon" restore
  refused "restore with a bad checksum"
  check "no wallet file added or changed" [ "$(snapshot)" = "$before" ]
  v --json show "$wallet_id"
  shown=$(json_text identity_pub <"$dir/v.out")/$(json_text address <"$dir/v.out")
  v_in "  $wallet_phrase  " --json restore
  check "a piped phrase restores the same wallet ($rc, $shown)" \
    eval '[ "$rc" -eq 0 ] && [ "$(json_text identity_pub <"$dir/v.out")/$(json_text address <"$dir/v.out")" = "$shown" ] && [ ${#shown} -gt 60 ]'
  check "and does not print it" not grep -qF "$wallet_phrase" "$dir/v.out"
}
statuses_answered() { (($(grep -cF '"event":"status"' "$out") >= $1)); }
status_during_refresh() {
  begin refresh
  start_devnet
  v --json create --handle alice
  check "vaultra create --handle alice ($rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  local address before i
  address=$(json_text address <"$dir/v.out")
  v --json fund 50000 --confirm
  check "vaultra fund 50000 --confirm ($rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  phone_up refresh
  status_is "the only wallet is connected at start" '"connected":true,'
  check "status names the wallet's address" grep -qF "\"ownPayAddress\":\"$address\"" <<<"$line"
  check "a 10 s hold set on WhatsOnChain's next answer" hold /woc/ 10000
  send refresh
  check "the refresh's request is held by the devnet" wait_until 20 no_fault_pending
  before=$(grep -cF '"event":"status"' "$out")
  for ((i = 0; i < 20; i++)); do send status; done
  check "20 status answers within 2 s while the refresh waits" wait_until 2 statuses_answered $((before + 20))
  check "the refresh was still waiting when they came" not grep -qF '"event":"refresh-done"' "$out"
  expect "refresh ends once the devnet answers" '{"event":"refresh-done"}'
  seen=$(wc -l <"$out")  # past the 20 answers
  status_is "status shows the funded balance after the refresh" '"balance":"alice   50000 sats"'
  check "status shows the handle after the refresh" grep -qF '"ownHandle":"alice"' <<<"$line"
  quit_phone refresh
}
deny_approve_disconnect
contacts
bad_input
status_during_refresh
echo "$(wc -l <"$root/passed") passed, 0 failed"

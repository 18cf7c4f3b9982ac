#!/usr/bin/env bash
# Drives dialo-phone and vaultra together through the files they share: connect denied then
# approved, quit at once while a connect waits, a locked wallet, the single-wallet start-up,
# contacts kept in the wallet file, and vaultra's refusals of bad input. Then the phone keeps
# answering while the network is slow: with the devnet holding WhatsOnChain's first answer
# 10 s, a `refresh` waits on it, and 20 `status` commands sent meanwhile are all answered within
# 2 s, before the refresh ends (2 s is far from 10 s, so the machine's speed does not matter).
# Usage: connect.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
phone=$1
vaultra=$2
devnet=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_tools connect.sh curl

# Creates a wallet; its id in $wallet_id, its phrase in $wallet_phrase.
create_wallet() {
  v --json create
  wallet_id=$(json_text id <"$dir/v.out")
  wallet_phrase=$(json_text mnemonic <"$dir/v.out")
  check "vaultra create $wallet_id (exit code $rc: $(cat "$dir/v.err"))" \
    eval '[ "$rc" -eq 0 ] && [ -n "$wallet_id" ] && [ "$(wc -w <<<"$wallet_phrase")" -eq 12 ]'
}

# Exit code 1, exactly one non-blank line on stderr, nothing on stdout.
refused() {
  check "$1: refused (exit code $rc, stderr $(cat "$dir/v.err"))" eval \
    '[ "$rc" -eq 1 ] && [ "$(wc -l <"$dir/v.err")" -eq 1 ] && grep -q "[^[:space:]]" "$dir/v.err" && [ ! -s "$dir/v.out" ]'
}

wallet_file() { echo "$(orvane)/wallets/$1/wallet.json"; }
bind_files() { compgen -G "$(orvane)/binds/*.json"; }
no_bind_file() { ! bind_files >/dev/null; }
# A request vaultra has not answered yet (an answered one stays beside its reply).
has_request() {
  local f
  for f in "$(orvane)"/connect/*.req.json; do [ -e "$f" ] && [ ! -e "${f%.req.json}.rep.json" ] && return 0; done
  return 1
}

bound_to() {
  local files
  files=$(bind_files) || return 1
  [ "$(wc -l <<<"$files")" -eq 1 ] && [ "$(json_text wallet_id <"$files")" = "$1" ]
}

# The phone asks to connect and vaultra answers with its arguments.
connect_with() {
  send connect
  check "connect request written" wait_until 20 has_request
  v "$@"
  check "vaultra $* exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
}

# ---------------------------------------------------------------------------------------

# Two wallets, so nothing binds at start-up: deny, then approve the second, then disconnect.
deny_approve_disconnect() {
  begin approve
  create_wallet
  create_wallet
  local second=$wallet_id
  phone_up "$scenario"
  status_is "not connected at start" '"connected":false,'
  connect_with deny
  expect "connect denied" '{"event":"connect","result":"error: connect denied in Vaultra."}'
  status_is "not connected after deny" '"connected":false,'
  check "no bind file after deny" no_bind_file
  connect_with approve --wallet "$second"
  expect "connect succeeds" '{"event":"connect","result":"success"}'
  status_is "connected after approve" '"connected":true,'
  check "bind file names the approved wallet" bound_to "$second"
  ask "disconnect succeeds" disconnect '{"event":"disconnect","result":"success"}'
  status_is "not connected after disconnect" '"connected":false,'
  check "bind file removed by disconnect" no_bind_file
  # Two wallets, so a connect waits for an approval that never comes; quit must not wait.
  send connect
  check "connect request written" wait_until 20 has_request
  quit_phone "$scenario" 10
}

locked_wallet() {
  begin locked
  create_wallet
  create_wallet
  local id=$wallet_id phrase=$wallet_phrase file before
  file=$(wallet_file "$id")
  v_in pw lock "$id"
  check "vaultra lock exit code 0 (got $rc)" [ "$rc" -eq 0 ]
  check "locked file carries the envelope" grep -q '"lock": *"OV-LOCK1"' "$file"
  check "locked file holds no phrase" not grep -qF "$phrase" "$file"
  v --json list
  check "list shows the wallet locked" grep -qF "\"id\":\"$id\",\"locked\":true" "$dir/v.out"

  phone_up "$scenario"
  connect_with approve --wallet "$id"
  expect "connect to a locked wallet refused" \
    '{"event":"connect","result":"error: This wallet is locked. Open it in Vaultra."}'
  status_is "not connected to a locked wallet" '"connected":false,'

  before=$(sha256sum <"$file")
  v_in wrong unlock "$id"
  refused "unlock with a wrong password"
  check "wrong password leaves the file as it was" [ "$(sha256sum <"$file")" = "$before" ]
  v_in pw unlock "$id"
  check "unlock with the right password exit code 0 (got $rc)" [ "$rc" -eq 0 ]
  check "unlocked file holds the phrase again" [ "$(json_text mnemonic <"$file")" = "$phrase" ]
  check "unlocked file has no envelope" not grep -q '"lock"' "$file"
  # The approval stands, so the wallet is usable as soon as it is opened.
  status_is "connected once unlocked" '"connected":true,' 20
  quit_phone "$scenario"
}

single_wallet() {
  begin single
  create_wallet
  check "no bind file before the phone starts" no_bind_file
  phone_up "$scenario"
  status_is "the only wallet is connected without a connect" '"connected":true,'
  check "bind file names the only wallet" bound_to "$wallet_id"
  check "no connect request was made" not has_request
  quit_phone "$scenario"
}

contacts() {
  begin contacts
  create_wallet
  local file before one='{"contacts":[{"dest":"alice","note":"friend"}],"event":"contacts"}'
  file=$(wallet_file "$wallet_id")
  phone_up "$scenario"
  ask "add @Alice" 'contact-add @Alice hello' '{"event":"contact-add","result":"success"}'
  ask "add alice again with a new note" 'contact-add alice friend' '{"event":"contact-add","result":"success"}'
  ask "one contact, the note replaced" contacts "$one"
  check "wallet file keeps its phrase" [ "$(json_text mnemonic <"$file")" = "$wallet_phrase" ]
  check "wallet file holds the contact" \
    grep -qF '"contacts":[{"dest":"alice","note":"friend"}]' <(tr -d ' \n' <"$file")
  before=$(sha256sum <"$file")
  ask "removing an unknown contact refused" 'contact-remove bob' \
    '{"event":"contact-remove","result":"error: that contact is not in the list."}'
  ask "disconnect succeeds" disconnect '{"event":"disconnect","result":"success"}'
  ask "add without a wallet refused" 'contact-add carol x' \
    '{"event":"contact-add","result":"error: no Vaultra wallet. Create first."}'
  ask "no contacts without a wallet" contacts '{"contacts":[],"event":"contacts"}'
  check "refused remove and add leave the file as it was" [ "$(sha256sum <"$file")" = "$before" ]
  quit_phone "$scenario"

  # A new start binds the only wallet again and reads the contact back from its file.
  phone_up "$scenario"
  ask "contact read back after a restart" contacts "$one"
  quit_phone "$scenario"
}

# Everything below the wallets folder and the index, with checksums.
snapshot() {
  (cd "$(orvane)" && find wallets | sort && find wallets wallets.json -type f | sort | xargs sha256sum)
}

bad_input() {
  begin bad_input
  create_wallet
  local before
  before=$(snapshot)
  v show w0
  refused "show of an unknown id"
  v --json show w0
  refused "show --json of an unknown id"
  # Every local user could read a phrase on the command line.
  v restore "$wallet_phrase"
  refused "restore of a phrase given on the command line"
  check "saying how to give it instead" grep -qF "type it when asked, or pipe it in" "$dir/v.err"
  # Twelve list words whose last one does not carry the checksum.
  v_in "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon" restore
  refused "restore with a bad checksum"
  v approve
  refused "approve with no request waiting"
  v deny
  refused "deny with no request waiting"
  check "no wallet file added or changed" [ "$(snapshot)" = "$before" ]

  local shown restored
  v --json show "$wallet_id"
  shown=$(json_text identity_pub <"$dir/v.out")/$(json_text address <"$dir/v.out")
  check "show says which network the wallet pays on" [ "$(json_text network <"$dir/v.out")" = devnet ]
  v_in "  $wallet_phrase  " --json restore
  restored=$(json_text identity_pub <"$dir/v.out")/$(json_text address <"$dir/v.out")
  check "a piped phrase restores the same wallet (exit code $rc, $restored, $shown)" \
    eval '[ "$rc" -eq 0 ] && [ "$restored" = "$shown" ] && [ ${#shown} -gt 60 ]'
  check "and does not print it" not grep -qF "$wallet_phrase" "$dir/v.out"
}

count_events() { grep -cE "\"event\":\"$1\"[,}]" "$out"; }
statuses_answered() { [ "$(count_events status)" -ge "$1" ]; }

status_during_refresh() {
  begin refresh
  start_devnet
  v --json create --handle alice
  check "vaultra create --handle alice exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
  local address before i
  address=$(json_text address <"$dir/v.out")
  v --json fund 50000 --confirm
  check "vaultra fund 50000 --confirm exit code 0 (got $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]

  phone_up "$scenario"
  status_is "the only wallet is connected at start" '"connected":true,'
  check "status names the wallet's address" grep -qF "\"ownPayAddress\":\"$address\"" <<<"$line"
  check "a 10 s hold set on WhatsOnChain's next answer" hold /woc/ 10000
  send refresh
  check "the refresh's request is held by the devnet" wait_until 20 no_fault_pending
  before=$(count_events status)
  for ((i = 0; i < 20; i++)); do send status; done
  check "20 status answers within 2 s while the refresh waits" wait_until 2 statuses_answered $((before + 20))
  check "the refresh was still waiting when they came" [ "$(count_events refresh-done)" -eq 0 ]

  expect "refresh ends once the devnet answers" '{"event":"refresh-done"}'
  seen=$(wc -l <"$out")  # past the 20 answers
  status_is "status shows the funded balance after the refresh" '"balance":"alice   50000 sats"'
  check "status shows the handle after the refresh" grep -qF '"ownHandle":"alice"' <<<"$line"
  quit_phone "$scenario"
}

run_scenarios deny_approve_disconnect locked_wallet single_wallet contacts bad_input status_during_refresh

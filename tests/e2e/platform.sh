#!/usr/bin/env bash
# Two phones on the main profile, each on its own dialo-platform over one PostgreSQL: a call heard
# both ways; PostgreSQL restarted under bob's payloads; alice's instance killed, her call still rings.
# Usage: platform.sh PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet PATH-TO-dialo-platform
set -uo pipefail
phone=$1 vaultra=$2 devnet=$3 platform=$4
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_tools platform.sh curl espeak-ng ffmpeg python3
declare -A pf_pid=() pf_port=()
woc_key=woc-e2e-3b8d1
devnet_args=(--host-name api.whatsonchain.com --host-name arc.gorillapool.io --host-name whatsonchain.com
  --woc-api-key "$woc_key")
# vaultra, before the phones start, reads WhatsOnChain with the key too.
p_network[alice]="\"woc_api_key\":\"$woc_key\""
p_network[bob]=${p_network[alice]}
trap 'end_processes -w "${p_pid[@]}" "${pf_pid[@]}"; stop_devnet; stop_postgres; rm -rf "$root"' EXIT
# A private PostgreSQL cluster, trusting only its own connections (as postgres when root).
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
pg_dir=$root/pg
as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
pg_start() {
  as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -c port=$pg_port -c unix_socket_directories=$pg_dir -c max_connections=200" start >/dev/null ||
    fail "PostgreSQL did not start: $(tail -n 5 "$pg_dir/log")"
}
start_postgres() {
  [ -x "$pg_bin/initdb" ] || fail "PostgreSQL's initdb is not installed (scripts/setup installs postgresql)"
  mkdir -p "$pg_dir"
  # The postgres user must reach its folder through the scratch root, without reading it.
  [ "$(id -u)" -ne 0 ] || { chmod 711 "$root"; chown postgres: "$pg_dir"; }
  as_pg "$pg_bin/initdb" -D "$pg_dir/data" -U postgres --auth=trust -E UTF8 >"$pg_dir/initdb.log" 2>&1 ||
    fail "initdb failed: $(tail -n 5 "$pg_dir/initdb.log")"
  pg_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  pg_start
  as_pg "$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U postgres dialo || fail "createdb failed"
  pg_conninfo="host=127.0.0.1 port=$pg_port dbname=dialo user=postgres connect_timeout=5"
}
stop_postgres() { [ ! -d "$pg_dir/data" ] || as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -m immediate -w stop >/dev/null 2>&1; }
# Instance NAME (a, b) of dialo-platform on PORT (0: any free one; its first line names it).
platform_up() {
  local name=$1 want=${2:-0} tls=$root/Orvane/devnet/tls
  cat >"$root/platform-$name.json" <<JSON
{"domain": "orvane.test",
 "listen": {"address": "127.0.0.1", "port": $want},
 "tls": {"cert_file": "$tls/server.pem", "key_file": "$tls/server-key.pem"},
 "storage": {"kind": "postgres", "conninfo": "$pg_conninfo"},
 "chain": {"kind": "devnet", "url": "https://127.0.0.1:$port", "ca_file": "$ca"},
 "index": {"addresses": "registered"},
 "log": "$root/platform-$name.log"}
JSON
  "$platform" check-config --config "$root/platform-$name.json" >"$root/platform-$name.check" 2>&1 ||
    fail "dialo-platform check-config refused instance $name: $(cat "$root/platform-$name.check")"
  : >"$root/platform-$name.err"
  timeout 900 "$platform" serve --config "$root/platform-$name.json" >/dev/null 2>"$root/platform-$name.err" & pf_pid[$name]=$!
  wait_until 30 grep -q 'listening on' "$root/platform-$name.err" ||
    fail "dialo-platform $name did not start: $(tail -n 5 "$root/platform-$name.err")"
  pf_port[$name]=$(grep -oE 'listening on [0-9.]+:[0-9]+' "$root/platform-$name.err" | head -n1 | grep -oE '[0-9]+$')
  check "dialo-platform $name serves on port ${pf_port[$name]}" wait_until 30 pf_healthy "$name"
}
pf_get() { curl -sS --fail --max-time 30 --cacert "$ca" --resolve "orvane.test:${pf_port[$1]}:127.0.0.1" "https://orvane.test:${pf_port[$1]}$2"; }
pf_healthy() { pf_get "$1" /healthz 2>/dev/null | grep -q '"ok":true'; }
pf_metric() { pf_get "$1" /metrics | grep -E "^$2( |\{)" | awk '{s += $NF} END {print s + 0}'; }
# The database and both instances, before any phone uses its own as platform host.
eval "$(declare -f phone_up | sed '1s/phone_up/devnet_phone_up/')"
phone_up() {
  if [ -z "${pf_pid[a]:-}" ]; then
    start_postgres
    platform_up a
    platform_up b
  fi
  local instance=a
  [ "$1" = bob ] && instance=b
  main_profile "$root/$1/Orvane/dialo/phone.json" "${pf_port[$instance]}"
  devnet_phone_up "$@"
}
# A phone file's network on the main profile: hosts mapped here, CA as ca_file, fee addresses named.
main_profile() {
  python3 - "$1" "$2" "$port" <<'EOF'
import json, sys
path, pf_port, devnet_port = sys.argv[1:4]
doc = json.load(open(path))
n, public = doc["network"], ("api.whatsonchain.com", "arc.gorillapool.io", "whatsonchain.com")
doc["network"] = dict({k: n[k] for k in ("service_domain", "directory_port", "update_base", "ca_file", "dns_server", "woc_api_key")},
                      profile="main", service_address="127.0.0.1", service_port=int(pf_port),
                      hosts=dict(n.get("hosts", {}), **{h: "127.0.0.1:" + devnet_port for h in public}),
                      event_fee_address="1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", call_fee_address="1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP")
json.dump(doc, open(path, "w"))
EOF
}
# A handle is published once the platform's directory knows it (either instance: one database).
published() { [ -n "$(pf_get b "/api/bsvalias/id/$1@orvane.test" | json_text pubkey)" ]; }
listed() { pf_get "$1" "/oi/oracle/dialo/txids?address=$2&limit=1000" | grep -oE '[0-9a-f]{64}'; }
call() {
  scenario=call
  answer alice status
  check "alice's status line says she is on the main network" grep -qF '"network":"main network"' <<<"$line"
  check "no phone printed its WhatsOnChain key" not grep -qF "$woc_key" "$root"/{alice,bob}/phone-1.{out,err}
  use alice
  send "call bob"
  saw bob "rings as Incoming from alice" 60 '"callState":"Incoming"' '"peerHandle":"alice"'
  send answer
  saw bob "is talking" 60 '"callState":"Talking"'
  saw alice "is talking" 60 '"callState":"Talking"'
  # About 6 s of talk: alice's 0.3 s chunks against bob's 0.8 s ones.
  saw bob "plays alice's 20th chunk" 60 '"event":"audio-played"' '"n":20}'
  saw alice "plays bob's 8th chunk" 60 '"event":"audio-played"' '"n":8}'
  check "bob has played every chunk alice sent" wait_until 30 caught_up alice bob
  check "alice has played every chunk bob sent" wait_until 30 caught_up bob alice
  use alice
  send hangup
  saw bob "sees alice hang up" 60 '"callState":"Idle"' '"statusText":"They hung up."'
  check "bob played alice's chunks once each, in order" in_order "$(voice_ns bob played)"
  check "alice played bob's chunks once each, in order" in_order "$(voice_ns alice played)"
  compare "what bob heard is what alice said" "$speech/alice-mic.wav" "$root/bob/heard.wav" --span 4
  compare "what alice heard is what bob said" "$speech/bob-mic.wav" "$root/alice/heard.wav" --span 4
}
# bob's payloads to alice's address while the database restarts: none missing after it.
database() {
  scenario=database
  local i sent=() txid restarting=""
  for i in $(seq 1 12); do
    # Stopped fast (open connections are cut) and started again on the same port.
    if ((i == 5)); then { as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast -w stop >/dev/null && pg_start; } & restarting=$!; fi
    answer bob "payload ${p_address[alice]} restart-$i" payload
    txid=$(grep -oE '"result":"success: [0-9a-f]{64}' <<<"$line" | grep -oE '[0-9a-f]{64}')
    [ -n "$txid" ] && sent+=("$txid")
  done
  wait_until 120 not kill -0 "$restarting" || fail "PostgreSQL's restart has not ended"
  wait "$restarting" || fail "PostgreSQL did not start again"
  check "PostgreSQL was restarted while they went" grep -q "received fast shutdown request" "$pg_dir/log"
  check "bob sent 12 payloads to alice (${#sent[@]})" [ "${#sent[@]}" -eq 12 ]
  check "PostgreSQL is back and both instances are healthy" wait_until 60 eval 'pf_healthy a && pf_healthy b'
  all_listed() { local t; for t in "${sent[@]}"; do listed "$1" "${p_address[alice]}" | grep -qx "$t" || return 1; done; }
  check "every payload is in the index, as instance a lists it" wait_until 60 all_listed a
  check "every payload is in the index, as instance b lists it" wait_until 60 all_listed b
}
# alice's instance dies under her held wait; bob's call still reaches her.
instance() {
  scenario=instance
  # dialo-platform itself, the child of its timeout, as a crash would end it.
  pkill -KILL -P "${pf_pid[a]}"
  wait "${pf_pid[a]}" 2>/dev/null
  use bob
  send "call alice"
  saw alice "rings although her platform instance is gone" 90 '"callState":"Incoming"' '"peerHandle":"bob"'
  platform_up a "${pf_port[a]}"
  use bob
  send hangup
  saw alice "sees bob hang up" 60 '"callState":"Idle"'
  check "alice is back on push with instance a" wait_until 60 eval '(( $(pf_metric a dialo_platform_push_waiting) >= 1 ))'
}
# Each microphone speaks from the start of every call (the talk gate opens on voice).
scenario=speech
say_call_lines
join "$speech/alice-mic.wav" "$speech/alice.wav" "$speech/alice.wav"
join "$speech/bob-mic.wav" "$speech/bob.wav" "$speech/bob.wav"
p_audio[alice]=$(audio_json "$speech/alice-mic.wav" "$root/alice/heard.wav" 300)
p_audio[bob]=$(audio_json "$speech/bob-mic.wav" "$root/bob/heard.wav")
setup alice bob
call
database
instance
all_quit
echo "$(wc -l <"$root/passed") passed, 0 failed"

# A private PostgreSQL cluster for the end-to-end scripts, sourced after lib.sh: initdb in a
# folder under $root, a free port on 127.0.0.1, trust for connections to this cluster only.
# PostgreSQL refuses to run as root, so then the cluster runs as the postgres user. The script
# calls stop_postgres on its way out.

pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
pg_dir="" pg_port="" pg_conninfo=""

as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

pg_ready() { as_pg "$pg_bin/pg_isready" -q -h 127.0.0.1 -p "$pg_port"; }

pg_start() {
  as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -c port=$pg_port -c unix_socket_directories=$pg_dir -c max_connections=200" \
    start >/dev/null
}

start_postgres() {
  [ -x "$pg_bin/initdb" ] || fail "PostgreSQL's initdb is not installed (scripts/setup installs postgresql)"
  pg_dir=$root/pg
  mkdir -p "$pg_dir"
  if [ "$(id -u)" -eq 0 ]; then
    # The postgres user must reach its folder through the scratch root, without reading it.
    chmod 711 "$root"
    chown postgres: "$pg_dir"
  fi
  as_pg "$pg_bin/initdb" -D "$pg_dir/data" -U postgres --auth=trust -E UTF8 >"$pg_dir/initdb.log" 2>&1 ||
    fail "initdb failed: $(tail -n 5 "$pg_dir/initdb.log")"
  pg_port=$(free_port)
  pg_start || fail "PostgreSQL did not start: $(tail -n 5 "$pg_dir/log")"
  as_pg "$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U postgres dialo || fail "createdb failed"
  pg_conninfo="host=127.0.0.1 port=$pg_port dbname=dialo user=postgres connect_timeout=5"
}

# Stops it fast (open connections are cut) and starts it again on the same port.
restart_postgres() {
  as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast -w stop >/dev/null || fail "PostgreSQL did not stop"
  pg_start || fail "PostgreSQL did not start again: $(tail -n 5 "$pg_dir/log")"
}

stop_postgres() {
  [ -n "$pg_dir" ] && [ -d "$pg_dir/data" ] || return 0
  as_pg "$pg_bin/pg_ctl" -D "$pg_dir/data" -m immediate -w stop >/dev/null 2>&1 || true
}

# Checks shared by the shell tests (which define ok and fail): a failed check ends through fail.
now_ms() { echo $(($(date +%s%N) / 1000000)); }
not() { ! "$@"; }
check() { if "${@:2}"; then ok "$1"; else fail "$1"; fi; }
# Retries a command every 50 ms until it succeeds; false once SECONDS have passed.
wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  until "${@:2}"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.05
  done
}
matches() { [[ $1 =~ $2 ]]; }
between() { [[ $1 =~ ^-?[0-9]+$ ]] && (($1 > $2 && $1 < $3)); }
# A string or whole-number value from JSON, pretty-printed or compact.
json_text() { tr -d '\n' | grep -o "\"$1\": *\"[^\"]*\"" | head -n1 | sed 's/^[^:]*: *"\(.*\)"$/\1/'; }
json_number() { tr -d '\n' | grep -oE "\"$1\": *-?[0-9]+" | head -n1 | sed 's/^[^:]*: *//'; }

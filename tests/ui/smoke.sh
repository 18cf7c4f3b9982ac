#!/usr/bin/env bash
# The real `dialo` in a real X server (Xvfb, with openbox as the window manager so that a
# window can be minimised as a user would), on a devnet with alice's wallet: the window titled
# "Dialo" appears at 460 x 508, though another user's socket answers in /tmp and a crashed
# one's is left where dialo listens; minimised, a second `dialo` ends with code 0 and the first
# window is shown again; a click on its Close button ends the first process with code 0; of two
# started at once, one ends. Then one real call from the window left: "bob" typed and Call
# clicked rings bob's dialo-phone, he answers, and the window's Hang up ends the call for him.
#
# Usage: smoke.sh PATH-TO-dialo PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
usage="usage: smoke.sh PATH-TO-dialo PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet"
dialo=${1:?$usage} phone=${2:?$usage} vaultra=${3:?$usage} devnet=${4:?$usage}
# The end-to-end scripts' scratch root, devnet, vaultra and dialo-phone helpers; the X server.
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../e2e/lib.sh"
source "$here/../e2e/two_phones.sh"
source "$here/../support/xvfb.sh"
need_tools smoke.sh Xvfb openbox xdotool xwininfo xprop python3 curl

desktop_file=$(cd "$(dirname "$0")/../../ui" && pwd)/dialo.desktop
# Everything the programs here write stays in the scratch folder, none in the user's home.
export XDG_RUNTIME_DIR=$root/run XDG_CONFIG_HOME=$root/config XDG_CACHE_HOME=$root/cache
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
# Nor on the user's session bus: the call notifier finds no bus here and shows nothing.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$root/run/no-bus
chmod 700 "$XDG_RUNTIME_DIR"
passed=0
xvfb_pid="" wm_pid="" first_pid="" second_pid="" a_pid="" b_pid="" squat_pid="" squatted=""
cleanup() {
  end_processes -w "$a_pid" "$b_pid" "$second_pid" "$first_pid" "${p_pid[bob]:-}" "$devnet_pid" "$squat_pid" "$wm_pid" "$xvfb_pid"
  [ -z "$squatted" ] || rm -f "$squatted"
  rm -rf "$root"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  local f
  for f in "$root"/*.log "$root"/bob/phone-*.out "$root"/devnet.err; do
    [ -s "$f" ] || continue
    echo "--- ${f#"$root"/}:"
    grep -v '"event":"wallet' "$f" | tail -n 30
  done
  echo "$passed passed, 1 failed"
  exit 1
}

ok() {
  echo "ok: $1"
  passed=$((passed + 1))
}

ended() { ! kill -0 "$1" 2>/dev/null; }

# An X server, and a window manager on it.
check "Xvfb serves a display of its own" start_xvfb "$root"
# Without the iconify animation a restored window is at its place when it is mapped.
cat >"$root/openbox.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <theme><animateIconify>no</animateIconify></theme>
</openbox_config>
EOF
openbox --sm-disable --config-file "$root/openbox.xml" >"$root/openbox.log" 2>&1 &
wm_pid=$!
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
check "openbox manages the display" wait_until 30 wm_running

# ---------------------------------------------------------------------------------------
# A devnet, and on it bob on a dialo-phone with his coins split and his handle published; and
# alice's wallet, the only one in dialo's folder, which binds it at start-up.

export QT_QPA_PLATFORM=xcb
unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_ENABLE_HIGHDPI_SCALING QT_FONT_DPI
block_interval=1
setup bob
dir=$root/alice
configure_phone "$root/devnet.out"
v --json create --handle alice
address=$(json_text address <"$dir/v.out")
v --json fund 200000 --confirm
check "vaultra makes alice's wallet and the faucet funds it (exit code $rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
export LOCALAPPDATA=$dir

# ---------------------------------------------------------------------------------------
# Squatters: in /tmp, at the name a per-user socket would get there, a socket anyone may reach
# that answers every start as a running phone would (what another user could leave); and in
# the runtime folder, where dialo listens, the socket of one that crashed, answering nobody.
# Neither may keep dialo from starting.

digest=$(python3 -c 'import hashlib, sys; print(hashlib.sha256(sys.argv[1].encode()).hexdigest()[:16])' "$LOCALAPPDATA/Orvane")
squatted=/tmp/dialo-$(id -u)-$digest
python3 - "$squatted" "$root/knocks" <<'EOF' >"$root/squatter.log" 2>&1 &
import os, socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
os.chmod(sys.argv[1], 0o777)
s.listen(8)
while True:
    c, _ = s.accept()
    with open(sys.argv[2], "a") as knocks:
        knocks.write("knock\n")
    c.recv(64)
    c.sendall(b"ok\n")
    c.close()
EOF
squat_pid=$!
squatting() { [ -S "$squatted" ] || ended "$squat_pid"; }
check "a squatter listens at $squatted" eval 'wait_until 20 squatting && [ -S "$squatted" ]'
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$XDG_RUNTIME_DIR/dialo-$digest"
check "a crashed phone's socket is left in the runtime folder" [ -S "$XDG_RUNTIME_DIR/dialo-$digest" ]

"$dialo" >"$root/first.log" 2>&1 &
first_pid=$!

# The first process's visible windows titled exactly "Dialo", one id a line.
dialo_windows() { xdotool search --onlyvisible --pid "$first_pid" --name '^Dialo \(.*\)$' 2>/dev/null; }
shown() {
  window=$(dialo_windows | head -n1)
  [ -n "$window" ] || ended "$first_pid"
}
wait_until 60 shown
ended "$first_pid" && fail "dialo ended before it showed a window"
check "dialo shows a window titled \"Dialo\" (id ${window:-none})" [ -n "$window" ]

info=$(xwininfo -id "$window")
size="$(grep -oE 'Width: [0-9]+' <<<"$info" | cut -d' ' -f2) x $(grep -oE 'Height: [0-9]+' <<<"$info" | cut -d' ' -f2)"
check "its client area is 460 x 508 at 96 DPI (got $size)" [ "$size" = "460 x 508" ]
check "nobody knocked at the squatter's socket in /tmp" [ ! -e "$root/knocks" ]

# The desktop file names the window class that docks and launchers group the window by.
wanted=$(sed -n 's/^StartupWMClass=//p' "$desktop_file")
class=$(xprop -id "$window" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p')
check "its window class is the desktop file's StartupWMClass (${class:-none}, ${wanted:-none})" \
  eval '[ -n "$class" ] && [ "$class" = "$wanted" ]'

# ---------------------------------------------------------------------------------------
# Minimised, then a second start brings it back.

# The client area's top-left corner on the screen, "X,Y".
position() { xwininfo -id "$window" | awk '/Absolute upper-left X/ { x = $4 } /Absolute upper-left Y/ { y = $4 } END { print x "," y }'; }
at() { [ "$(position)" = "$1" ]; }
iconic() { xprop -id "$window" WM_STATE | grep -q 'window state: Iconic'; }
viewable() { xwininfo -id "$window" | grep -q 'Map State: IsViewable'; }
place=$(position)
xdotool windowminimize "$window"
check "the window is minimised" wait_until 20 eval 'iconic && not viewable'

"$dialo" >"$root/second.log" 2>&1 &
second_pid=$!
check "a second dialo ends within 30 s" wait_until 30 ended "$second_pid"
wait "$second_pid"
code=$?
second_pid=""
check "the second dialo exits with code 0 (got $code)" [ "$code" -eq 0 ]
check "the first window is shown again" wait_until 20 eval 'viewable && not iconic'
# A click lands where the pointer is, so the window must be back in its place first.
check "it is back where it was ($place)" wait_until 20 at "$place"
check "the first dialo still runs" not ended "$first_pid"
count=$(xdotool search --onlyvisible --name '^Dialo \(.*\)$' 2>/dev/null | wc -l)
check "one window titled \"Dialo\" is shown (got $count)" [ "$count" -eq 1 ]

# ---------------------------------------------------------------------------------------
# Close: its button's centre at 96 DPI (ui/main_window.cpp places it at 344, 396, 92 x 40).

xdotool mousemove --window "$window" 390 416 click 1
check "dialo ends within 30 s of a click on Close" wait_until 30 ended "$first_pid"
wait "$first_pid"
code=$?
first_pid=""
check "dialo exits with code 0 (got $code)" [ "$code" -eq 0 ]

# ---------------------------------------------------------------------------------------
# Two starts at the same moment: one phone goes on, the other raises it and ends.

"$dialo" >"$root/a.log" 2>&1 &
a_pid=$!
"$dialo" >"$root/b.log" 2>&1 &
b_pid=$!
one_ended() { ended "$a_pid" || ended "$b_pid"; }
check "of two dialo started at once, one ends within 30 s" wait_until 30 one_ended
if ended "$a_pid"; then gone=$a_pid kept=$b_pid; else gone=$b_pid kept=$a_pid; fi
wait "$gone"
code=$?
check "the one that ended exits with code 0 (got $code)" [ "$code" -eq 0 ]
kept_window() { xdotool search --onlyvisible --pid "$kept" --name '^Dialo \(.*\)$' >/dev/null 2>&1; }
check "the other shows its window" wait_until 30 kept_window
check "and still runs" not ended "$kept"

# ---------------------------------------------------------------------------------------
# One real call from the window that went on.

first_pid=$kept
check "its window is found" eval 'wait_until 30 shown && [ -n "$window" ]'
ready() { (($(devnet_get "/woc/v1/bsv/main/address/$address/confirmed/unspent" | grep -o '"tx_pos"' | wc -l) >= 120)); }
check "the window publishes alice's handle and splits her coin into 120 in a block" \
  wait_until 120 eval 'published alice 2>/dev/null && ready'

# The handle field's centre, then Call's and Hang up's (ui/main_window.cpp).
xdotool windowactivate --sync "$window" mousemove --window "$window" 230 222 click 1 type --delay 100 bob
xdotool mousemove --window "$window" 230 290 click 1
saw bob "the window's call rings bob" 90 '"callState":"Incoming"'
send answer
saw bob "bob answers" 60 '"callState":"Talking"'
xdotool mousemove --window "$window" 372 290 click 1
saw bob "the window's Hang up ends the call for bob" 60 '"statusText":"They hung up."'

echo "$passed passed, 0 failed"

#!/usr/bin/env bash
# The real `dialo` under Xvfb and openbox: its window despite squatted sockets, second start, Close,
# two started at once; then a call to bob's dialo-phone placed, answered and hung up from the window.
# Usage: smoke.sh PATH-TO-dialo PATH-TO-dialo-phone PATH-TO-vaultra PATH-TO-dialo-devnet
set -uo pipefail
dialo=$1 phone=$2 vaultra=$3 devnet=$4
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
source "$here/../support/xvfb.sh"
need_tools smoke.sh Xvfb openbox xdotool xwininfo xprop python3 curl
# Everything the programs write stays in the scratch folder, and off the user's session bus.
export XDG_RUNTIME_DIR=$root/run XDG_CONFIG_HOME=$root/config XDG_CACHE_HOME=$root/cache DBUS_SESSION_BUS_ADDRESS=unix:path=$root/run/no-bus
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
xvfb_pid="" wm_pid="" first_pid="" second_pid="" a_pid="" b_pid="" squat_pid="" squatted=""
trap 'end_processes -w "$a_pid" "$b_pid" "$second_pid" "$first_pid" "${p_pid[bob]:-}" "$devnet_pid" "$squat_pid" "$wm_pid" "$xvfb_pid"
  [ -z "$squatted" ] || rm -f "$squatted"; rm -rf "$root"' EXIT
ended() { ! kill -0 "$1" 2>/dev/null; }
ends_well() { check "$2 ends within 30 s" wait_until 30 ended "$1"; wait "$1"; check "$2 exits with code 0 (got $?)" [ $? -eq 0 ]; }
check "Xvfb serves a display of its own" start_xvfb "$root"
# Without the iconify animation a restored window is at its place when it is mapped.
printf '<openbox_config xmlns="http://openbox.org/3.4/rc"><theme><animateIconify>no</animateIconify></theme></openbox_config>\n' >"$root/openbox.xml"
openbox --sm-disable --config-file "$root/openbox.xml" >"$root/openbox.log" 2>&1 & wm_pid=$!
check "openbox manages the display" wait_until 30 eval 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"'
# bob on a dialo-phone; alice's wallet the only one in dialo's folder, bound at start-up.
export QT_QPA_PLATFORM=xcb
unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_ENABLE_HIGHDPI_SCALING QT_FONT_DPI
block_interval=1
setup bob
dir=$root/alice
configure_phone "$root/devnet.out"
v --json create --handle alice
address=$(json_text address <"$dir/v.out")
v --json fund 200000 --confirm
check "vaultra makes alice's wallet and the faucet funds it ($rc: $(cat "$dir/v.err"))" [ "$rc" -eq 0 ]
export LOCALAPPDATA=$dir
# Squatters that must not keep dialo from starting: one in /tmp answering as a phone, a dead one's socket.
digest=$(python3 -c 'import hashlib, sys; print(hashlib.sha256(sys.argv[1].encode()).hexdigest()[:16])' "$LOCALAPPDATA/Orvane")
squatted=/tmp/dialo-$(id -u)-$digest
python3 -c 'import os, socket, sys
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777); s.listen(8)
while True:
    c = s.accept()[0]; open(sys.argv[2], "a").write("knock\n"); c.recv(64); c.sendall(b"ok\n"); c.close()' \
  "$squatted" "$root/knocks" >"$root/squatter.log" 2>&1 & squat_pid=$!
check "a squatter listens at $squatted" eval 'wait_until 20 eval "[ -S $squatted ] || ended $squat_pid" && [ -S "$squatted" ]'
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$XDG_RUNTIME_DIR/dialo-$digest"
check "a crashed phone's socket is left in the runtime folder" [ -S "$XDG_RUNTIME_DIR/dialo-$digest" ]
"$dialo" >"$root/first.log" 2>&1 & first_pid=$!
shown() { window=$(xdotool search --onlyvisible --pid "$first_pid" --name '^Dialo \(.*\)$' 2>/dev/null | head -n1); [ -n "$window" ]; }
check "dialo shows a window titled \"Dialo\"" wait_until 60 eval 'shown || ended $first_pid'
check "dialo is still running with its window (id ${window:-none})" eval '[ -n "$window" ] && ! ended $first_pid'
info=$(xwininfo -id "$window")
size="$(grep -oE 'Width: [0-9]+' <<<"$info" | cut -d' ' -f2) x $(grep -oE 'Height: [0-9]+' <<<"$info" | cut -d' ' -f2)"
check "its client area is 460 x 508 at 96 DPI (got $size)" [ "$size" = "460 x 508" ]
check "nobody knocked at the squatter's socket in /tmp" [ ! -e "$root/knocks" ]
# The desktop file names the window class that docks and launchers group the window by.
wanted=$(sed -n 's/^StartupWMClass=//p' "$here/../../ui/dialo.desktop")
class=$(xprop -id "$window" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p')
check "its window class is the desktop file's StartupWMClass (${class:-none}, ${wanted:-none})" eval '[ -n "$class" ] && [ "$class" = "$wanted" ]'
# Minimised, a second start brings it back where it was (a click lands where the pointer is).
position() { xwininfo -id "$window" | awk '/Absolute upper-left X/ { x = $4 } /Absolute upper-left Y/ { y = $4 } END { print x "," y }'; }
iconic() { xprop -id "$window" WM_STATE | grep -q 'window state: Iconic'; }
viewable() { xwininfo -id "$window" | grep -q 'Map State: IsViewable'; }
place=$(position)
xdotool windowminimize "$window"
check "the window is minimised" wait_until 20 eval 'iconic && not viewable'
"$dialo" >"$root/second.log" 2>&1 & second_pid=$!
ends_well "$second_pid" "a second dialo"
second_pid=""
check "the first window is shown again" wait_until 20 eval 'viewable && not iconic'
check "it is back where it was ($place)" wait_until 20 eval '[ "$(position)" = "$place" ]'
check "the first dialo still runs" not ended "$first_pid"
check "one window titled \"Dialo\" is shown" [ "$(xdotool search --onlyvisible --name '^Dialo \(.*\)$' 2>/dev/null | wc -l)" -eq 1 ]
# Close: its button's centre at 96 DPI (ui/main_window.cpp places it at 344, 396, 92 x 40).
xdotool mousemove --window "$window" 390 416 click 1
ends_well "$first_pid" "dialo, on a click on Close,"
first_pid=""
# Two starts at the same moment: one phone goes on, the other raises it and ends.
"$dialo" >"$root/a.log" 2>&1 & a_pid=$!
"$dialo" >"$root/b.log" 2>&1 & b_pid=$!
check "of two dialo started at once, one ends within 30 s" wait_until 30 eval 'ended $a_pid || ended $b_pid'
if ended "$a_pid"; then gone=$a_pid first_pid=$b_pid; else gone=$b_pid first_pid=$a_pid; fi
ends_well "$gone" "the one that ended"
check "the other shows its window and still runs" eval 'wait_until 30 shown && ! ended $first_pid'
# One real call from it. The handle field's centre, then Call's and Hang up's (ui/main_window.cpp).
ready() { (($(devnet_get "/woc/v1/bsv/main/address/$address/confirmed/unspent" | grep -o '"tx_pos"' | wc -l) >= 120)); }
check "the window publishes alice's handle and splits her coin into 120 in a block" wait_until 120 eval 'published alice 2>/dev/null && ready'
xdotool windowactivate --sync "$window" mousemove --window "$window" 230 222 click 1 type --delay 100 bob
xdotool mousemove --window "$window" 230 290 click 1
saw bob "the window's call rings bob" 90 '"callState":"Incoming"'
send answer
saw bob "bob answers" 60 '"callState":"Talking"'
xdotool mousemove --window "$window" 372 290 click 1
saw bob "the window's Hang up ends the call for bob" 60 '"statusText":"They hung up."'
echo "$(wc -l <"$root/passed") passed, 0 failed"

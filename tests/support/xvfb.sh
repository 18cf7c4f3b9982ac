# Sourced by the scripts that drive a real window. start_xvfb DIR starts an X server of the
# script's own, 1280 x 1024 at 96 DPI, exports DISPLAY and sets xvfb_pid (the caller ends it).
# The server picks a free display and takes its lock file itself, and writes the number to
# descriptor 3 once it accepts clients. -noreset: else it resets when its last client leaves.
start_xvfb() {
  local dir=$1 n tries
  : >"$dir/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp -noreset 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for ((tries = 0; tries < 300; tries++)); do  # 30 s
    if read -r n <"$dir/display" && [ -n "$n" ]; then
      export DISPLAY=:$n
      unset WAYLAND_DISPLAY
      return 0
    fi
    kill -0 "$xvfb_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Shared helpers for the scripts: sourced, not run.

# start_xvfb DISPLAY_NUMBER [WxHxD]: starts Xvfb with the extensions the capture tests use and waits
# until it answers. Sets XVFB_PID.
start_xvfb() {
  local num=$1 geom=${2:-1920x1080x24}
  Xvfb ":$num" -screen 0 "$geom" -nolisten tcp -noreset +extension MIT-SHM +extension DAMAGE +extension RANDR \
    +extension XFIXES +extension XTEST >/tmp/tovik-xvfb-$num.log 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 1 100); do
    DISPLAY=":$num" xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "Xvfb :$num did not start" >&2
  return 1
}

# free_display: prints a display number with no X server behind it.
free_display() {
  local n=${1:-90}
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  echo "$n"
}

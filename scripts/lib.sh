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

# free_port udp|tcp [START]: prints a loopback port number nothing listens on.
free_port() {
  local kind=$1 p=${2:-$((20000 + RANDOM % 20000))} flag=-ltn
  [ "$kind" = udp ] && flag=-lun
  while ss -H "$flag" "sport = :$p" 2>/dev/null | grep -q .; do p=$((p + 1)); done
  echo "$p"
}

# start_relay BIN DATA_DIR UDP_PORT TCP_PORT: runs tovik-relay on loopback with its own data folder and
# waits until its key exists. Sets RELAY_PID and RELAY_KEY (the public key, hexadecimal).
start_relay() {
  local bin=$1 data=$2 udp=$3 tcp=$4
  mkdir -p "$data"
  "$bin" run --data "$data" --listen 127.0.0.1 --udp-port "$udp" --tcp-ports "$tcp" >"$data/relay.log" 2>&1 &
  RELAY_PID=$!
  RELAY_KEY=
  for _ in $(seq 1 100); do
    RELAY_KEY=$("$bin" key --data "$data" 2>/dev/null | sed -n 's/^Public key: *//p' || true)
    [ -n "$RELAY_KEY" ] && grep -q listening "$data/relay.log" && return 0
    sleep 0.1
  done
  echo "tovik-relay did not start; see $data/relay.log" >&2
  return 1
}

# tovik_home HOME_DIR UDP_PORT TCP_PORT KEY [EXTRA_INI_LINES]: a fresh HOME for one tovik instance whose
# per-user Tovik.ini points at the loopback relay with its pinned key.
tovik_home() {
  local home=$1 udp=$2 tcp=$3 key=$4 extra=${5:-}
  rm -rf "$home"
  mkdir -p "$home/.config/Tovik"
  printf '[Relay]\nHost=127.0.0.1\nPort=%s\nKey=%s\nTcpPort=%s\n%s' "$udp" "$key" "$tcp" "$extra" \
    >"$home/.config/Tovik/Tovik.ini"
}

# status_value FILE KEY: a value from a status file that tovik writes under TOVIK_TEST_STATUS.
status_value() { sed -n "s/^$2=//p" "$1" 2>/dev/null | head -n 1; }

# wait_status FILE KEY PATTERN SECONDS: waits until the value matches the extended regex PATTERN.
wait_status() {
  local f=$1 k=$2 pat=$3 secs=${4:-20} i
  for i in $(seq 1 $((secs * 10))); do
    status_value "$f" "$k" | grep -Eq "$pat" && return 0
    sleep 0.1
  done
  echo "timed out waiting for $k ~ /$pat/ in $f (now: $(status_value "$f" "$k"))" >&2
  return 1
}

# stop_pids PID...: ends processes this script started, then waits for them.
stop_pids() {
  local p
  for p in "$@"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  for p in "$@"; do [ -n "$p" ] && wait "$p" 2>/dev/null || true; done
}

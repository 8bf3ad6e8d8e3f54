#!/usr/bin/env bash
# Builds the packages with scripts/package from a built tree and checks them: the files each package
# holds, the stamped build, the units (systemd-analyze verify) and what the maintainer scripts do with
# them, the relay's unit and user, lintian without errors, the portable tarball.
# As root it also installs both packages, runs the relay as its system user on its data folder, and
# removes and purges them again: in a private copy of this system (a mount namespace with an overlay of
# / and chroot into it), so that this machine's /usr, /etc and dpkg state are never touched.
#   check_packages.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Installs both packages, runs the relay as its user, removes and purges them. Runs in the private
# root only (see below).
install_run_remove() {  # install_run_remove DEB RDEB
  local deb=$1 rdeb=$2
  if dpkg-query -W tovik >/dev/null 2>&1 || dpkg-query -W tovik-relay >/dev/null 2>&1; then
    echo "tovik is installed on this system already: installation not tried"
    return 0
  fi
  dpkg -i "$deb" "$rdeb" >/dev/null
  [ -x /usr/bin/tovik ] && [ -x /usr/bin/tovik-relay ] || fail "the programs are not installed"
  getent passwd tovik-relay >/dev/null || fail "no tovik-relay user"
  if ! systemd-analyze --man=no verify /lib/systemd/system/tovik-service.service /lib/systemd/system/tovik-update.service \
      > "$work/verify-installed.txt" 2>&1 || [ -s "$work/verify-installed.txt" ]; then
    cat "$work/verify-installed.txt" >&2
    fail "systemd-analyze verify finds fault with an installed unit"
  fi
  [ "$(stat -c '%U %a' /var/lib/tovik-relay)" = "tovik-relay 700" ] || fail "the data folder is not the relay user's own"
  port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  runuser -u tovik-relay -- /usr/bin/tovik-relay --data /var/lib/tovik-relay --listen 127.0.0.1 --udp-port "$port" --tcp-ports 0 \
    >"$work/relay.log" 2>&1 &
  relay=$!
  up=0
  for _ in $(seq 100); do
    if ss -uln | grep -q "127.0.0.1:$port "; then up=1; break; fi
    kill -0 $relay 2>/dev/null || break
    sleep 0.1
  done
  kill $relay 2>/dev/null || true
  wait $relay 2>/dev/null || true
  [ $up -eq 1 ] || { cat "$work/relay.log" >&2; fail "the installed relay did not start"; }
  runuser -u tovik-relay -- /usr/bin/tovik-relay key --data /var/lib/tovik-relay >/dev/null ||
    fail "the relay made no key in its data folder"
  dpkg -r tovik tovik-relay >/dev/null
  [ ! -e /usr/bin/tovik ] && [ ! -e /usr/bin/tovik-relay ] || fail "the programs stay after removal"
  [ -d /var/lib/tovik-relay ] || fail "removal (not purge) deleted the relay's data"
  dpkg -P tovik tovik-relay >/dev/null 2>&1
  [ ! -e /var/lib/tovik-relay ] || fail "purge left the relay's data"
  echo "packages installed, run and removed"
}

# The second stage, in the private root: only the installation.
if [ -n "${TOVIK_PRIVATE_ROOT:-}" ]; then
  arch=$(dpkg --print-architecture)
  install_run_remove "$3/tovik_0.1.0+777_${arch}.deb" "$3/tovik-relay_0.1.0+777_${arch}.deb"
  exit 0
fi

bash "$src/scripts/package" --build-dir "$build" --out "$work/out" --build 777 >/dev/null
arch=$(dpkg --print-architecture)
deb="$work/out/tovik_0.1.0+777_${arch}.deb"
rdeb="$work/out/tovik-relay_0.1.0+777_${arch}.deb"
tarball="$work/out/tovik-0.1.0+777-linux-${arch}.tar.gz"
for f in "$deb" "$rdeb" "$tarball"; do [ -s "$f" ] || fail "missing $f"; done

# Contents.
dpkg-deb -c "$deb" | awk '{print $1, $6}' > "$work/tovik.list"
for want in "-rwxr-xr-x ./usr/bin/tovik" "-rw-r--r-- ./usr/share/applications/tovik.desktop" \
    "-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/tovik.svg" \
    "-rw-r--r-- ./usr/share/tovik/tovik-autostart.desktop" "-rw-r--r-- ./usr/share/man/man1/tovik.1.gz" \
    "-rw-r--r-- ./usr/share/doc/tovik/copyright"; do
  grep -qxF -- "$want" "$work/tovik.list" || fail "tovik lacks $want"
done
for unit in "$src"/packaging/*.service; do
  [ "$(basename "$unit")" = tovik-relay.service ] && continue
  grep -qF "./lib/systemd/system/$(basename "$unit")" "$work/tovik.list" || fail "tovik lacks $(basename "$unit")"
done
for policy in "$src"/packaging/*.policy; do
  [ -e "$policy" ] || continue
  grep -qF "./usr/share/polkit-1/actions/$(basename "$policy")" "$work/tovik.list" || fail "tovik lacks $(basename "$policy")"
done
dpkg-deb -c "$rdeb" | awk '{print $1, $6}' > "$work/relay.list"
for want in "-rwxr-xr-x ./usr/bin/tovik-relay" "-rw-r--r-- ./lib/systemd/system/tovik-relay.service" \
    "-rw-r--r-- ./usr/share/man/man1/tovik-relay.1.gz" "-rw-r--r-- ./usr/share/doc/tovik-relay/copyright"; do
  grep -qxF -- "$want" "$work/relay.list" || fail "tovik-relay lacks $want"
done
grep -q tovik "$work/relay.list" && ! grep -q './usr/bin/tovik$' "$work/relay.list" || fail "the relay package holds the program"
dpkg-deb -f "$deb" Depends | grep -q libcurl4 || fail "tovik does not depend on libcurl4"
dpkg-deb -f "$rdeb" Depends | grep -q adduser || fail "tovik-relay does not depend on adduser"

# The shipped program carries the stamped build; the relay runs as its own user on its data folder.
mkdir "$work/x"
dpkg-deb -x "$deb" "$work/x"
grep -qa 'TOVIKBUILDREC:0000000777' "$work/x/usr/bin/tovik" || fail "the build is not stamped into tovik"
dpkg-deb -x "$rdeb" "$work/x"
grep -qx 'User=tovik-relay' "$work/x/lib/systemd/system/tovik-relay.service" || fail "the relay unit has no user"
dpkg-deb -e "$rdeb" "$work/ctl"
grep -q 'adduser --system' "$work/ctl/postinst" || fail "the relay's postinst makes no system user"

# The units: valid for systemd, warnings included (verified against the extracted tree, with this
# system's standard targets beside them); the update unit is a oneshot that the service starts, never
# enabled or started by the package itself.
units=$(find "$work/x/lib/systemd/system" -name '*.service' | sort)
[ -n "$units" ] || fail "no systemd units in the packages"
command -v systemd-analyze >/dev/null || fail "systemd-analyze is not installed"
mkdir -p "$work/x/usr/lib/systemd/system"
cp -a /lib/systemd/system/*.target "$work/x/usr/lib/systemd/system/"
# shellcheck disable=SC2086
if ! systemd-analyze --root="$work/x" --man=no verify $units > "$work/verify.txt" 2>&1 || [ -s "$work/verify.txt" ]; then
  cat "$work/verify.txt" >&2
  fail "systemd-analyze verify finds fault with a unit"
fi
upd="$work/x/lib/systemd/system/tovik-update.service"
[ -f "$upd" ] || fail "tovik lacks tovik-update.service"
grep -qx 'Type=oneshot' "$upd" || fail "the update unit is not a oneshot"
grep -qx 'ExecStart=/usr/bin/tovik /serviceupdate' "$upd" || fail "the update unit does not run /serviceupdate"
grep -qx '\[Install\]' "$upd" && fail "the update unit can be enabled"
grep -q 'PrivateNetwork' "$upd" && fail "the update unit has no network"
dpkg-deb -e "$deb" "$work/tctl"
grep -q 'enable --now tovik-service.service' "$work/tctl/postinst" || fail "the postinst does not start the service"
grep -q 'tovik-update' "$work/tctl/postinst" && fail "the postinst starts the update unit"
grep -q 'restart' "$work/tctl/postinst" && fail "the postinst restarts the service (it restarts itself after its checks)"

# The portable copy: one folder with the program.
tar -tzf "$tarball" | sort > "$work/tar.list"
grep -qx 'tovik/tovik' "$work/tar.list" || fail "the tarball lacks tovik/tovik"
grep -qx 'tovik/README.txt' "$work/tar.list" || fail "the tarball lacks its README"
# The polkit action for "/applyupdate" belongs to a portable copy in /opt/tovik; the package never runs it.
grep -qx 'tovik/org.tovik.update.policy' "$work/tar.list" || fail "the tarball lacks the update's polkit action"
grep -q 'org.tovik.update.policy' "$work/tovik.list" && fail "the package holds the portable copy's polkit action"
tar -xzf "$tarball" -C "$work" tovik/org.tovik.update.policy
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/opt/tovik/tovik</annotate>' \
  "$work/tovik/org.tovik.update.policy" || fail "the update's polkit action names no fixed program path"
if command -v xmllint >/dev/null; then
  xmllint --noout "$work/tovik/org.tovik.update.policy" "$src"/packaging/*.policy || fail "a polkit action is not well-formed"
fi

# lintian: no errors.
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" "$rdeb" > "$work/lintian.txt" 2>&1 || true
  if grep -q '^E:' "$work/lintian.txt"; then cat "$work/lintian.txt" >&2; fail "lintian reports errors"; fi
else
  fail "lintian is not installed (scripts/setup installs it)"
fi

# Install, run, remove: as root, in a private copy of this system (overlay mounts need root).
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: installation not tried"
  exit 0
fi
priv="$work/private"
mkdir -p "$priv/upper" "$priv/work" "$priv/root"
# The private root sees this system as it is (the packages and this script included); what dpkg writes
# lands in $priv/upper and goes with the namespace. No systemd runs there (/run is empty), so the
# maintainer scripts leave the system's service manager alone too.
unshare --mount --propagation private bash -c '
  set -e
  p=$1; shift
  mount -t overlay overlay -o "lowerdir=/,upperdir=$p/upper,workdir=$p/work" "$p/root"
  mount --rbind /proc "$p/root/proc"
  mount --rbind /dev "$p/root/dev"
  mount --rbind /sys "$p/root/sys"
  mount -t tmpfs tmpfs "$p/root/run"
  exec chroot "$p/root" env TOVIK_PRIVATE_ROOT=1 bash "$@"' _ "$priv" "$(readlink -f "$0")" "$src" "$build" "$work/out"
dpkg-query -W tovik >/dev/null 2>&1 && fail "the installation reached this system's dpkg state"
[ -e /usr/bin/tovik ] && fail "the installation reached this system's /usr"
echo "installed in a private root only"

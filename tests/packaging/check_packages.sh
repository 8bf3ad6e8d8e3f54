#!/usr/bin/env bash
# Builds the packages with scripts/package from a built tree and checks them: the files each package
# holds, the stamped build, the relay's unit and user, lintian without errors, the portable tarball.
# As root it also installs both packages, runs the relay as its system user on its data folder, and
# removes and purges them again.
#   check_packages.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

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

# The portable copy: one folder with the program.
tar -tzf "$tarball" | sort > "$work/tar.list"
grep -qx 'tovik/tovik' "$work/tar.list" || fail "the tarball lacks tovik/tovik"
grep -qx 'tovik/README.txt' "$work/tar.list" || fail "the tarball lacks its README"

# lintian: no errors.
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" "$rdeb" > "$work/lintian.txt" 2>&1 || true
  if grep -q '^E:' "$work/lintian.txt"; then cat "$work/lintian.txt" >&2; fail "lintian reports errors"; fi
else
  fail "lintian is not installed (scripts/setup installs it)"
fi

# Install, run, remove (root only: the packages go into this system).
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: installation not tried"
  exit 0
fi
if dpkg-query -W tovik >/dev/null 2>&1 || dpkg-query -W tovik-relay >/dev/null 2>&1; then
  echo "tovik is installed on this system already: installation not tried"
  exit 0
fi
cleanup_pkgs() { dpkg -P tovik tovik-relay >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup_pkgs EXIT
dpkg -i "$deb" "$rdeb" >/dev/null
[ -x /usr/bin/tovik ] && [ -x /usr/bin/tovik-relay ] || fail "the programs are not installed"
getent passwd tovik-relay >/dev/null || fail "no tovik-relay user"
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

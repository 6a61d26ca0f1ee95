#!/usr/bin/env bash
# Builds the Debian package from a configured build directory, installs it
# on this machine, checks what it put where and that the unit verifies, then
# purges it. Needs root; exits 77 (skipped) otherwise or when an oxnode
# package is already installed here (it is not ours to replace).
set -euo pipefail
build=$1
if [ "$(id -u)" != 0 ]; then echo "SKIP: installing a package needs root"; exit 77; fi
if dpkg-query -W -f='${Status}' oxnode 2>/dev/null | grep -q "install ok installed"; then
  echo "SKIP: an oxnode package is already installed on this machine"; exit 77
fi
for tool in cpack dpkg-shlibdeps systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
out=$(mktemp -d)
cleanup() { dpkg --purge oxnode >/dev/null 2>&1 || true; rm -rf "$out"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1) \
  || { cat "$out/cpack.log"; fail "cpack"; }
deb=$(ls "$out"/oxnode_*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
for lib in libqt5core5a libqt5network5 libsrt1.5-openssl libcivetweb1 libsystemd0 libssl3; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib"
done

dpkg -i "$deb" >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log"; fail "dpkg -i"; }
for f in /usr/bin/oxnode /usr/bin/oxnode-basic; do [ -x "$f" ] || fail "$f missing"; done
for f in /usr/share/oxnode/web/index.html /usr/share/oxnode/web/app.js /usr/lib/systemd/system/oxnode.service; do
  [ -f "$f" ] || fail "$f missing"
done
getent passwd oxnode >/dev/null || fail "no oxnode user"
[ "$(stat -c %U /var/lib/oxnode)" = oxnode ] || fail "/var/lib/oxnode not owned by oxnode"
[ "$(readlink /var/lib/oxnode/web)" = /usr/share/oxnode/web ] || fail "console not linked into the state directory"
systemd-analyze verify /usr/lib/systemd/system/oxnode.service || fail "systemd-analyze verify"
dpkg -L oxnode | sed 's/^/file: /'

# HTTPS from the installed program on a machine that has only the TLS
# library's run-time files: the development names are hidden in a private
# mount namespace (and the ports in a private network namespace).
libdir=$(dirname "$(ldd /usr/bin/oxnode | awk '/libssl\.so\.3/ {print $3}')")
mkdir -p "$out/https/w"
echo '{"localDevCfg": false, "httpsPort": 8443}' > "$out/https/appcfg.json"
reply=$(unshare -n -m sh -c '
  set -e; libdir=$1; dir=$2
  ip link set lo up
  mount -t tmpfs none "$dir/w" && mkdir "$dir/w/u" "$dir/w/o"
  mount -t overlay overlay -o "lowerdir=$libdir,upperdir=$dir/w/u,workdir=$dir/w/o" "$libdir"
  rm -f "$libdir/libssl.so" "$libdir/libcrypto.so"
  cd "$dir" && /usr/bin/oxnode >oxnode.log 2>&1 & pid=$!
  for i in $(seq 100); do
    r=$(curl -sk --max-time 2 https://127.0.0.1:8443/api/post -d "{\"cmd\":\"getStreamList\"}" || true)
    [ -n "$r" ] && break; sleep 0.1
  done
  kill $pid; wait $pid || true
  echo "$r"' sh "$libdir" "$out/https")
[[ $reply == *"Token Error!"* ]] || { tail -20 "$out/https/oxnode.log"; fail "no HTTPS reply without libssl-dev's names: $reply"; }
echo "HTTPS served without the development names of the TLS library"

dpkg --purge oxnode >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log"; fail "dpkg --purge"; }
[ ! -e /usr/bin/oxnode ] || fail "/usr/bin/oxnode left after purge"
[ ! -e /var/lib/oxnode ] || fail "/var/lib/oxnode left after purge"
! getent passwd oxnode >/dev/null || fail "oxnode user left after purge"
echo "package installed, checked and purged"

#!/usr/bin/env bash
# Installs the Debian packages oxnode needs to build, run and test
# (OXNODE_TEST_DEPS=1), and the baselines of the benchmarks (OXNODE_BENCH_DEPS=1).
# Only what is missing is installed; "apt-get update" runs once, and only then.
set -euo pipefail

PKGS=(
  build-essential cmake pkg-config
  qtbase5-dev
  libasio-dev
  libsrt-openssl-dev srt-tools
  libcivetweb-dev libssl-dev
  libsystemd-dev
  libgtest-dev googletest
  iproute2 util-linux procps
)
if [ "${OXNODE_TEST_DEPS:-0}" = 1 ]; then
  # Fuzzing (clang), the independent KCP peer (kcp-go), the console's browser tests.
  PKGS+=(clang libclang-rt-14-dev golang-go golang-github-xtaci-kcp-dev chromium fonts-liberation)
  # H.265 over SRT with a passphrase, end to end.
  PKGS+=(ffmpeg)
  # The package test: systemd-analyze, and what cpack needs for the .deb's dependencies.
  PKGS+=(systemd dpkg-dev file)
  # The /metrics test parses the text with the reference Prometheus parser.
  PKGS+=(python3-prometheus-client)
  # HTTPS: curl as a client, openssl to make and read certificates.
  PKGS+=(curl openssl)
  # Real H.265 through a cascade of relays: ffmpeg encodes, ffprobe counts the frames.
  PKGS+=(ffmpeg)
  # The browser tests need Node.js 20 or newer; use the machine's own when present.
  if ! command -v node >/dev/null 2>&1; then
    PKGS+=(nodejs npm)
  fi
fi
if [ "${OXNODE_BENCH_DEPS:-0}" = 1 ]; then
  # bench_fleet's baseline: an MQTT broker under the fleet's load.
  PKGS+=(mosquitto)
fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# libsrt must carry the key-material overflow fixes from Debian's security updates.
need_srt_upgrade=0
if v=$(dpkg-query -W -f='${Version}' libsrt1.5-openssl 2>/dev/null); then
  if ! dpkg --compare-versions "$v" ge "1.5.1-1+deb12u2"; then need_srt_upgrade=1; fi
fi

if [ ${#missing[@]} -eq 0 ] && [ $need_srt_upgrade -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
# Pull libsrt from the security suite when the plain one is older than the fix.
$SUDO apt-get install -y --only-upgrade libsrt1.5-openssl libsrt-openssl-dev srt-tools >/dev/null 2>&1 || true
if [ "${OXNODE_TEST_DEPS:-0}" = 1 ] && command -v node >/dev/null 2>&1; then
  major=$(node --version | sed 's/^v\([0-9]*\).*/\1/')
  [ "${major:-0}" -ge 20 ] || echo "warning: node $(node --version) is older than 20; the console's browser tests will be skipped" >&2
fi
v=$(dpkg-query -W -f='${Version}' libsrt1.5-openssl 2>/dev/null || echo 0)
if ! dpkg --compare-versions "$v" ge "1.5.1-1+deb12u2"; then
  echo "warning: libsrt $v is older than 1.5.1-1+deb12u2 (security fixes); check the security suite in apt sources" >&2
fi

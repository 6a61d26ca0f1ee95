#!/bin/sh
# Runs the console tests: the MD5 and formatting modules of the console, then
# the browser tests against the oxnode binary given as the first argument, all
# inside a private network namespace so the fixed ports never collide.
# Exits non-zero when a test fails; browser tests skip (with the reason) when
# Chromium or playwright-core is not available.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ]; then
  echo "usage: $0 PATH_TO_OXNODE" >&2
  exit 2
fi
bin=$(realpath "$1")
if [ ! -x "$bin" ]; then
  echo "$0: $bin is not an executable" >&2
  exit 2
fi
cd "$here"

if [ ! -d node_modules/playwright-core ]; then
  # playwright-core never downloads a browser; the variable makes sure of it.
  if ! PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error; then
    echo "warning: npm ci failed; the browser tests will be skipped" >&2
  fi
fi

export OXNODE_BIN="$bin"
export OXTEST_OUT="${OXTEST_OUT:-$here/out}"
mkdir -p "$OXTEST_OUT"

# Root makes the namespace directly; anyone else maps themselves to root in a
# user namespace first.
if [ "$(id -u)" = 0 ]; then
  set -- unshare -n
else
  set -- unshare -r -n
fi
exec "$@" sh -c 'ip link set lo up && exec node --test --test-concurrency=1 md5.test.js format.test.js chart.test.js clients.test.js console.test.js'

#!/usr/bin/env bash
# Installs what is missing, builds oxnode (Release) and runs it in the
# foreground in a working directory (default ./run), which gets a "web"
# directory with the operator console.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
workdir=${1:-$here/run}

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build-release" -DCMAKE_BUILD_TYPE=Release -DOXNODE_TESTS=OFF -DOXNODE_BENCH=ON >/dev/null
cmake --build "$here/build-release" -j"$(nproc)"

mkdir -p "$workdir/web"
if [ -d "$here/web" ]; then
  cp -a "$here/web/." "$workdir/web/"
fi
cd "$workdir"
exec "$here/build-release/oxnode"

#!/bin/sh
# Builds the frame fuzzer into DIR and runs it for SECONDS (default 30) on a
# small seed corpus kept in DIR/corpus. Exits non-zero when it finds a crash.
#   tests/fuzz/run.sh DIR [SECONDS]
set -eu
out=${1:?usage: run.sh DIR [SECONDS]}
secs=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../src
mkdir -p "$out/corpus" "$out/artifacts"

# Qt is built position independent: -fPIC is required.
clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -DQT_NO_KEYWORDS -I"$src" $(pkg-config --cflags Qt5Core) \
    "$here/fuzz_frames.cpp" "$src/node/oxFrames.cpp" "$src/node/oxNodeState.cpp" "$src/service/logLimit.cpp" "$src/service/logging.cpp" "$src/service/publicFunc.cpp" \
    $(pkg-config --libs Qt5Core) -o "$out/fuzz_frames"

seed() { printf "$2" > "$out/corpus/$1"; }
seed login '\001{"cmd":"nodeLogin","token":"x","sn":"abcde","id":1}\000'
seed status '\005{"cmd":"nodeStatus","sessionToken":"0123456789abcdef0123456789abcdef","data":{"alias":"a","modeList":"a,,b","network":{"mainIP":"1.2.3.4"}}}\000'
seed prop '\003{"cmd":"compProperty","data":{"compName":"enc","propName":"br","value":1}}\000{"cmd":"getCompProperty","data":{"compName":"enc","propName":"br"}}\000'
seed mixed '\002x\000{}\000\000[1,2]\000{"a":'
seed keepalive '\007{"cmd":"keepAlive","sessionToken":"0123456789abcdef0123456789abcdef"}\000'

exec "$out/fuzz_frames" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -artifact_prefix="$out/artifacts/" -print_final_stats=1 "$out/corpus"

#!/bin/sh
# Builds the KCP session fuzzer into DIR and runs it for SECONDS (default 30),
# once per role, on a small seed corpus kept in DIR/corpus-kcp. Exits
# non-zero when it finds a crash.
#   tests/fuzz/run_kcp.sh DIR [SECONDS]
set -eu
out=${1:?usage: run_kcp.sh DIR [SECONDS]}
secs=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../src
moc=$(pkg-config --variable=host_bins Qt5Core)/moc
mkdir -p "$out/corpus-kcp-listen" "$out/corpus-kcp-call" "$out/artifacts"

"$moc" "$src/oxStream/sr_lat/kcp_udp.h" -o "$out/moc_kcp_udp.cpp"
# Qt is built position independent: -fPIC is required.
clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -DQT_NO_KEYWORDS -I"$src" -I"$src/oxStream" -I"$src/kcp" $(pkg-config --cflags Qt5Core) \
    "$here/fuzz_kcp.cpp" "$src/oxStream/sr_lat/kcp_udp.cpp" "$out/moc_kcp_udp.cpp" "$src/kcp/ikcp.cpp" \
    "$src/service/logging.cpp" "$src/service/logLimit.cpp" "$src/net/oxMemoryTrim.cpp" "$src/net/oxPageBlock.cpp" \
    $(pkg-config --libs Qt5Core) -o "$out/fuzz_kcp"

# Seeds: record = op, 16-bit length, payload (see fuzz_kcp.cpp). Segment
# headers: conv(4) cmd frg wnd(2) ts(4) sn(4) una(4) len(4).
seed() { printf "$3" > "$out/corpus-kcp-$1/$2"; }
push0='\001\030\000DDDD\121\000\200\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000'
for role in listen call; do
    r='\000'; [ $role = call ] && r='\001'
    seed $role push "$r"'\001\034\000DDDD\121\000\200\000\001\000\000\000\000\000\000\000\000\000\000\000\004\000\000\000abcd\004\002\000\012\000'
    seed $role ack "$r"'\003\005\000hello\004\002\000\012\000\001\030\000DDDD\122\000\200\000\000\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\004\002\000\012\000'
    seed $role foreign "$r"'\000\030\000ABCD\121\000\200\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\005\000\000'
    seed $role frags "$r""$push0"'\001\034\000DDDD\121\002\200\000\000\000\000\000\001\000\000\000\000\000\000\000\000\000\000\000\004\002\000\001\000\005\000\000'
done

# The time is shared between the two roles.
half=$(( (secs + 1) / 2 ))
status=0
for role in listen call; do
    echo "== $role role"
    "$out/fuzz_kcp" -max_total_time="$half" -timeout=10 -rss_limit_mb=2048 -max_len=70000 -close_fd_mask=1 \
        -artifact_prefix="$out/artifacts/kcp-$role-" -print_final_stats=1 "$out/corpus-kcp-$role" || status=$?
    [ $status -eq 0 ] || break
done
exit $status

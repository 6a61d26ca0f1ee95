#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a normal build, then one with AddressSanitizer + UndefinedBehaviorSanitizer.
# Exits non-zero on any failure; ctest's summary is the last thing printed.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

OXNODE_TEST_DEPS=1 "$here/scripts/install-deps.sh" || exit 1

build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null || return 1
  cmake --build "$dir" -j"$jobs" 2>&1 | grep -E "error|warning:" ; return "${PIPESTATUS[0]}"
}

status=0
echo "== normal build =="
build "$here/build-test" || exit 1
export OX_KCPPEER="$here/build-test/kcppeer"
if [ -x "$here/tests/kcppeer/build.sh" ]; then "$here/tests/kcppeer/build.sh" "$OX_KCPPEER" || unset OX_KCPPEER; fi
(cd "$here/build-test" && ctest -j"$jobs" --output-on-failure --timeout 300) > "$here/build-test/ctest.log" 2>&1 || status=1
tail -n 4 "$here/build-test/ctest.log" | sed 's/^/normal: /'
[ $status -eq 0 ] || grep -E "Failed|\*\*\*|Timeout" "$here/build-test/ctest.log" | head -40

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
build "$here/build-asan" -DOXNODE_SANITIZE=ON -DOXNODE_BENCH=OFF || exit 1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$here/tests/lsan.supp:print_suppressions=0
cd "$here/build-asan" && ctest -j"$jobs" --output-on-failure --timeout 300
asan=$?
[ $status -eq 0 ] && [ $asan -eq 0 ]

#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the full build
# (unit, window and integration tests against real peers on loopback), then the
# plain logic tests under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh" --test
# Dependencies point one way: nothing below the window layer includes it.
if up=$(cd "$here" && grep -rlE '#include "app/' capture publish settings common resources); then
  echo "these files outside app/ include app/:" >&2
  echo "$up" >&2
  exit 1
fi
jobs="$(nproc)"
build() {  # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
run_tests() {  # dir, label
  echo "== $2"
  (cd "$1" && ctest --output-on-failure -j "$jobs" --timeout 600)
}
build "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSNAPVANE_TESTS=ON
run_tests "$here/build" "all tests"
build "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DSNAPVANE_LOGIC_ONLY=ON -DSNAPVANE_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests "$here/build-asan" "logic tests, ASan+UBSan"
build "$here/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DSNAPVANE_LOGIC_ONLY=ON -DSNAPVANE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 run_tests "$here/build-tsan" "logic tests, TSan"

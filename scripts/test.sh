#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite: the normal build, then the
# AddressSanitizer+UndefinedBehaviorSanitizer build. "--quick" runs the normal build only.
# Every test runs headless on Qt's offscreen platform.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/deps.sh
export QT_QPA_PLATFORM=offscreen

# The advert tests start a local ad server in each build folder (scripts/adserver.sh); however the
# run ends, none is left running.
stop_ad_servers() {
  local preset
  for preset in default asan; do
    LOMBKALAUZ_ADSERVER_DIR="$root/build/$preset/adserver" scripts/adserver.sh stop || true
  done
}
trap stop_ad_servers EXIT
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"

status=0
run_suite() {
  local preset="$1"
  echo "=== build and test: $preset ==="
  scripts/build.sh "$preset"
  ctest --preset "$preset" || status=1
}

run_suite default
if [ -x scripts/fuzz.sh ] && [ $quick -eq 0 ]; then
  scripts/fuzz.sh || status=1
fi
if [ $quick -eq 0 ]; then
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  run_suite asan
fi
exit $status

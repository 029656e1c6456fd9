#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs every fuzz target (tests/fuzz/fuzz_NAME.cpp) for a bounded time: first every kept
# regression input of tests/fuzz/regressions/NAME once, then FUZZ_SECONDS (default 30) seconds
# of fuzzing from the seed corpus tests/fuzz/corpus/NAME (when there is one) and the regressions.
# New inputs go to a scratch directory, so the checked-in corpus stays as it is. Exits non-zero
# when a fuzzer finds a crash, a leak or a hang; the input that caused it is left in
# build/fuzz/artifacts/. FUZZ_TARGETS="container ..." limits the run to some targets.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${FUZZ_SECONDS:-30}"
targets="${FUZZ_TARGETS:-$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/^fuzz_//; s/\.cpp$//' | tr '\n' ' ')}"

cmake --preset fuzz >/dev/null
for t in $targets; do
  cmake --build --preset fuzz --target "fuzz_$t"
done

artifacts="$root/build/fuzz/artifacts/"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"

shopt -s nullglob
for t in $targets; do
  fuzzer="$root/build/fuzz/fuzz/fuzz_$t"
  regressions="$root/tests/fuzz/regressions/$t"
  dirs=("$work/new_$t")
  mkdir -p "$work/new_$t"
  [ -d "$root/tests/fuzz/corpus/$t" ] && dirs+=("$root/tests/fuzz/corpus/$t")
  [ -d "$regressions" ] && dirs+=("$regressions")
  kept=("$regressions"/*)
  if [ ${#kept[@]} -gt 0 ]; then
    echo "=== fuzz: $t: ${#kept[@]} regression inputs ==="
    "$fuzzer" -timeout=10 -rss_limit_mb=2048 "${kept[@]}"
  fi
  echo "=== fuzz: $t for ${seconds} s ==="
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "${dirs[@]}"
done

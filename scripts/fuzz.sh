#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs the container fuzzer for a bounded time: first every kept regression input once, then
# FUZZ_SECONDS (default 60) seconds of fuzzing that starts from the seed corpus and the
# regressions. New inputs go to a scratch directory, so the checked-in corpus stays as it is.
# Exits non-zero when the fuzzer finds a crash, a leak or a hang; the input that caused it is
# left in build/fuzz/artifacts/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${FUZZ_SECONDS:-60}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_container

fuzzer="$root/build/fuzz/fuzz/fuzz_container"
corpus="$root/tests/fuzz/corpus/container"
regressions="$root/tests/fuzz/regressions"
artifacts="$root/build/fuzz/artifacts/"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"
mkdir -p "$work/new"

shopt -s nullglob
kept=("$regressions"/*)
if [ ${#kept[@]} -gt 0 ]; then
  echo "=== fuzz: ${#kept[@]} regression inputs ==="
  "$fuzzer" -timeout=10 -rss_limit_mb=2048 "${kept[@]}"
fi

echo "=== fuzz: fuzz_container for ${seconds} s ==="
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$artifacts" "$work/new" "$corpus" "$regressions"

#!/usr/bin/env bash
# Keeps the C++ sources in the project's one style (.clang-format: Google, 100 columns; .clang-tidy:
# locals and parameters in CapitalisedWords, constants as kName).
#   scripts/format.sh           formats every tracked .h/.cpp in place
#   scripts/format.sh --check   lists the files that are not formatted; exit status 1 if any
#   scripts/format.sh --names   lists locals and parameters not named by the rule (needs a
#                               configured default build for its compile commands)
#   scripts/format.sh --fix-names  renames them where no other name of the file is the same
#                               (then format, build and run the suite: a rename is not a layout)
set -euo pipefail
cd "$(dirname "$0")/.."

need() {
  command -v "$1" >/dev/null && return
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "$2"
}

mapfile -t files < <(git ls-files '*.cpp' '*.h')
case "${1:-}" in
  "")
    need clang-format clang-format
    clang-format -i "${files[@]}"
    ;;
  --check)
    need clang-format clang-format
    bad=0
    for f in "${files[@]}"; do
      if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then echo "$f"; bad=1; fi
    done
    exit $bad
    ;;
  --names)
    need clang-tidy clang-tidy
    [ -f build/default/compile_commands.json ] || cmake --preset default >/dev/null
    mapfile -t units < <(git ls-files '*.cpp' | grep -v '^tests/fuzz/')
    printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 8 clang-tidy -p build/default --quiet \
      --header-filter='.*/(engine|components|app|tools|tests|bench)/.*' 2>/dev/null |
      grep 'readability-identifier-naming' | sort -u
    ;;
  --fix-names)
    need clang-tidy clang-tidy
    cmake --preset default >/dev/null
    fixes=$(mktemp -d)
    trap 'rm -rf "$fixes"' EXIT
    n=0
    for u in $(git ls-files '*.cpp'); do
      n=$((n + 1))
      db=build/default
      case "$u" in tests/fuzz/*) if [ -f build/fuzz/compile_commands.json ]; then db=build/fuzz; else continue; fi ;; esac
      echo "$db $u $fixes/$n.yaml"
    done | xargs -P "$(nproc)" -L 1 sh -c 'clang-tidy -p "$0" "$1" --quiet \
      --header-filter=".*/(engine|components|app|tools|tests|bench)/.*" --export-fixes="$2" \
      >/dev/null 2>&1 || true'
    python3 -c 'import yaml' 2>/dev/null || need nothing-here python3-yaml
    python3 scripts/casing_fixes.py . "$fixes"
    ;;
  *)
    sed -n '2,9p' "$0"
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Writes the seed corpora of the fuzzers. Container: a few small valid containers made with the
# vdb tool (new, files of one and two tiles, a subdirectory, a deleted entry and a free list).
# Definitions: taken from the lexicon's database as lexicon_db builds it (the
# definition block of Data.vdbt behind a level byte, for levels 6 and 5).
# Table files (data file of both formats, lock file, move file, undo log): each of those fuzz
# targets writes its own seeds with the engine when FUZZ_SEED_DIR is set; FUZZ_BIN names the
# directory of the built fuzz targets (default build/fuzz/fuzz).
# Usage: tests/fuzz/make_corpus.sh PATH-TO-VDB [PATH-TO-LEXICON_DB]
set -euo pipefail
vdb="$1"
lexicon_db="${2:-}"
out="$(cd "$(dirname "$0")" && pwd)/corpus/container"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
rm -f "$out"/*.vdbd

printf 'hello' > "$work/small.txt"
head -c 9000 /dev/zero | tr '\0' 'x' > "$work/two_tiles.bin"

"$vdb" container new "$out/empty.vdbd" >/dev/null

"$vdb" container new "$out/one_file.vdbd" >/dev/null
"$vdb" container put "$out/one_file.vdbd" Data.vdbt "$work/small.txt" >/dev/null

"$vdb" container new "$out/subdir.vdbd" >/dev/null
"$vdb" container mkdir "$out/subdir.vdbd" sub >/dev/null
"$vdb" container put "$out/subdir.vdbd" 'sub\inner.txt' "$work/small.txt" >/dev/null
"$vdb" container put "$out/subdir.vdbd" gone.txt "$work/small.txt" >/dev/null
"$vdb" container rm "$out/subdir.vdbd" gone.txt >/dev/null

"$vdb" container new "$out/free_list.vdbd" >/dev/null
"$vdb" container put "$out/free_list.vdbd" a.bin "$work/two_tiles.bin" >/dev/null
"$vdb" container put "$out/free_list.vdbd" b.txt "$work/small.txt" >/dev/null
"$vdb" container rm "$out/free_list.vdbd" a.bin >/dev/null

if [ -n "$lexicon_db" ]; then
  root="$(cd "$(dirname "$0")/../.." && pwd)"
  "$lexicon_db" "$root/app/lexicon/Lexikon.csv" "$work/L_Data.vdbd" >/dev/null
  "$vdb" container cat "$work/L_Data.vdbd" Data.vdbt > "$work/Data.vdbt"
  defs="$(dirname "$out")/definitions"
  mkdir -p "$defs"
  # The block's length is the 32-bit word at 4525; its used part is what the reader needs.
  length=$(od -An -t u4 -j 4525 -N 4 "$work/Data.vdbt" | tr -d ' ')
  tail -c +4530 "$work/Data.vdbt" > "$work/from_block"
  head -c "$length" "$work/from_block" > "$work/block"
  { printf '\000'; cat "$work/block"; } > "$defs/lexicon_level6.bin"
  { printf '\001'; cat "$work/block"; } > "$defs/lexicon_level5.bin"
fi

fuzz_bin="${FUZZ_BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build/fuzz/fuzz}"
for target in datafile lockfile movefile undolog; do
  if [ -x "$fuzz_bin/fuzz_$target" ]; then
    seeds="$(dirname "$out")/$target"
    rm -rf "$seeds"
    FUZZ_SEED_DIR="$seeds" "$fuzz_bin/fuzz_$target" >/dev/null 2>&1
  fi
done

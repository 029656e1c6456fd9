#!/usr/bin/env bash
# Writes the seed corpus of the container fuzzer: a few small valid containers made with the
# vdb tool (new, files of one and two tiles, a subdirectory, a deleted entry and a free list).
# Usage: tests/fuzz/make_corpus.sh PATH-TO-VDB
set -euo pipefail
vdb="$1"
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

#!/usr/bin/env bash
# Times kestrane's extraction of a UDF image against 7-Zip's UDF reader, in one run:
#   extract / -od   vs  7zz x -tudf
# and prints both times with kestrane's divided by 7-Zip's (below 1.00: kestrane is faster).
#
#   bench/bench_udf.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/udf) gets a tree of about 500 MB in 5,000 files of mixed sizes and a bridge
# image of it made by genisoimage -udf, whose UDF side both programs read; it needs about 1.1 GB. KESTRANE=path
# picks the program (default: a Release build in build-bench). RUNS=n sets the timed runs per command (default
# 3; the best counts). Outputs go to a memory file system when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/udf}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in genisoimage 7zz perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
image="$work/bench-udf.iso"

if [ ! -f "$work/image-made" ]; then
  rm -rf "$src" "$image"
  make_tree "$src"
  genisoimage -quiet -udf -o "$image" "$src"
  touch "$work/image-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); image: $(du -h "$image" | cut -f1)"

use_scratch_out udf
prepare=fresh_out
k_extract=$(best_of kestrane "$bin" extract "$image" / -od "$out" -y)
diff -r "$src" "$out" >/dev/null || { echo "kestrane's extraction differs from the source tree" >&2; exit 1; }
zz_extract=$(best_of 7zz 7zz x -tudf -y "-o$out" "$image")
diff -r "$src" "$out" >/dev/null || { echo "7-Zip's extraction differs from the source tree" >&2; exit 1; }
rm -rf "$out"

echo "best of $runs runs; ratio = kestrane / peer"
ratio_row extract "7zz x -tudf" "$zz_extract" "$k_extract"

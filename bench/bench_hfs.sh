#!/usr/bin/env bash
# Times kestrane's extraction of an HFS+ volume against 7-Zip's, in one run:
#   extract / -od   vs  7zz x -thfs
# and prints both times with kestrane's divided by 7-Zip's (below 1.00: kestrane is faster).
#
#   bench/bench_hfs.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/hfs) gets a tree of about 500 MB in 5,000 files of mixed sizes and an HFS+
# volume of it: xorriso's hybrid image with its ISO 9660 descriptors wiped, so that both programs read the HFS+
# tree; it needs about 1.1 GB. KESTRANE=path picks the program (default: a Release build in build-bench).
# RUNS=n sets the timed runs per command (default 3; the best counts). Outputs go to a memory file system when
# there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/hfs}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in xorriso 7zz perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
image="$work/bench-hfsplus.img"

if [ ! -f "$work/image-made" ]; then
  rm -rf "$src" "$image"
  make_tree "$src"
  xorriso -as mkisofs -quiet -hfsplus -V BENCH -o "$image" "$src"
  dd if=/dev/zero of="$image" bs=2048 seek=16 count=4 conv=notrunc status=none
  touch "$work/image-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); image: $(du -h "$image" | cut -f1)"

use_scratch_out hfs
prepare=fresh_out
k_extract=$(best_of kestrane "$bin" extract "$image" / -od "$out" -y)
diff -r "$src" "$out" >/dev/null || { echo "kestrane's extraction differs from the source tree" >&2; exit 1; }
zz_extract=$(best_of 7zz 7zz x -thfs -y "-o$out" "$image")
diff -r "$src" "$out/BENCH" >/dev/null || { echo "7-Zip's extraction differs from the source tree" >&2; exit 1; }
rm -rf "$out"

echo "best of $runs runs; ratio = kestrane / peer"
ratio_row extract "7zz x -thfs" "$zz_extract" "$k_extract"

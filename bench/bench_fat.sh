#!/usr/bin/env bash
# Times kestrane's extraction of a FAT32 disk image against 7-Zip's, in one run:
#   extract / -od   vs  7zz x
# and prints both times with kestrane's divided by 7-Zip's (below 1.00: kestrane is faster).
#
#   bench/bench_fat.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/fat) gets a tree of about 500 MB in 5,000 files of mixed sizes and a FAT32
# image of it without a partition table (mkfs.vfat, filled by mcopy), which both programs read as it is; it
# needs about 1.2 GB. KESTRANE=path picks the program (default: a Release build in build-bench). RUNS=n sets the
# timed runs per command (default 3; the best counts). Outputs go to a memory file system when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/fat}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in mkfs.vfat mcopy 7zz perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
disk="$work/bench-fat32.img"

if [ ! -f "$work/disk-made" ]; then
  rm -rf "$src" "$disk"
  make_tree "$src"
  mkfs.vfat -C -F 32 -s 8 "$disk" 620000 >/dev/null
  (cd "$src" && mcopy -s -m -i "$disk" ./* ::)
  touch "$work/disk-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); image: $(du -h "$disk" | cut -f1)"

use_scratch_out fat
prepare=fresh_out
k_extract=$(best_of kestrane "$bin" extract "$disk" / -od "$out" -y)
diff -r "$src" "$out" >/dev/null || { echo "kestrane's extraction differs from the source tree" >&2; exit 1; }
zz_extract=$(best_of 7zz 7zz x -y "-o$out" "$disk")
diff -r "$src" "$out" >/dev/null || { echo "7-Zip's extraction differs from the source tree" >&2; exit 1; }
rm -rf "$out"

echo "best of $runs runs; ratio = kestrane / peer"
ratio_row extract "7zz x" "$zz_extract" "$k_extract"

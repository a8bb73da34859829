#!/usr/bin/env bash
# Times kestrane's extraction of an ext4 image against debugfs' rdump and 7-Zip's, in one run:
#   extract / -od   vs  debugfs -R "rdump / OUT"   and   7zz x
# and prints the times with kestrane's divided by each peer's (below 1.00: kestrane is faster).
#
#   bench/bench_ext.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/ext) gets a tree of about 500 MB in 5,000 files of mixed sizes and an ext4
# image of it (mke2fs -d, no partition table); it needs about 1.2 GB. KESTRANE=path picks the program (default: a
# Release build in build-bench). RUNS=n sets the timed runs per command (default 3; the best counts). Outputs go
# to a memory file system when there is one. 7-Zip adds a "[SYS]" folder of the volume's metadata, which its
# comparison leaves out.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/ext}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in mke2fs debugfs 7zz perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
disk="$work/bench-ext4.img"

if [ ! -f "$work/disk-made" ]; then
  rm -rf "$src" "$disk"
  make_tree "$src"
  mke2fs -q -F -t ext4 -d "$src" "$disk" 700M
  touch "$work/disk-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); image: $(du -h "$disk" | cut -f1)"

use_scratch_out ext
same() { diff -r -x lost+found -x '\[SYS\]' "$src" "$1" >/dev/null || { echo "$2's extraction differs from the source tree" >&2; exit 1; }; }
prepare=fresh_out
k_extract=$(best_of kestrane "$bin" extract "$disk" / -od "$out" -y)
same "$out" kestrane
d_extract=$(best_of debugfs debugfs -R "rdump / $out" "$disk")
same "$out" debugfs
zz_extract=$(best_of 7zz 7zz x -y "-o$out" "$disk")
same "$out" 7-Zip
rm -rf "$out"

echo "best of $runs runs; ratio = kestrane / peer"
for peer in "debugfs rdump:$d_extract" "7zz x:$zz_extract"; do
  ratio_row extract "${peer%%:*}" "${peer##*:}" "$k_extract"
done

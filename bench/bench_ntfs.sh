#!/usr/bin/env bash
# Times kestrane's extraction of an NTFS volume image against 7-Zip's, in one run:
#   extract / -od   vs  7zz x
# and prints both times with kestrane's divided by 7-Zip's (below 1.00: kestrane is faster).
#
#   bench/bench_ntfs.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/ntfs) gets a tree of about 500 MB in 5,000 files of mixed sizes and an NTFS
# image of it without a partition table (mkntfs, filled through wimlib-imagex's NTFS mode), which both programs
# read as it is; it needs about 1.2 GB. KESTRANE=path picks the program (default: a Release build in
# build-bench). RUNS=n sets the timed runs per command (default 3; the best counts). Outputs go to a memory file
# system when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/ntfs}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in mkntfs wimlib-imagex 7zz perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
disk="$work/bench-ntfs.img"

if [ ! -f "$work/disk-made" ]; then
  rm -rf "$src" "$disk" "$work/src.wim"
  make_tree "$src"
  truncate -s 640M "$disk"
  mkntfs -F -Q -q -L Bench "$disk"
  wimlib-imagex capture "$src" "$work/src.wim" --compress=none --no-acls >/dev/null
  wimlib-imagex apply "$work/src.wim" 1 "$disk" >/dev/null
  rm -f "$work/src.wim"
  touch "$work/disk-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); image: $(du -h "$disk" | cut -f1)"

use_scratch_out ntfs
prepare=fresh_out
k_extract=$(best_of kestrane "$bin" extract "$disk" / -od "$out" -y)
diff -r "$src" "$out" >/dev/null || { echo "kestrane's extraction differs from the source tree" >&2; exit 1; }
zz_extract=$(best_of 7zz 7zz x -y "-o$out" "$disk")
rm -rf "$out/[SYSTEM]" "$out"/'$'* 2>/dev/null || true
diff -r "$src" "$out" >/dev/null || { echo "7-Zip's extraction differs from the source tree" >&2; exit 1; }
rm -rf "$out"

echo "best of $runs runs; ratio = kestrane / peer"
ratio_row extract "7zz x" "$zz_extract" "$k_extract"

#!/usr/bin/env bash
# Times kestrane's extraction of chunk-compressed images, in one run:
#   extract of a zlib DMG of a FAT32 volume    vs  7zz x of the same DMG (target: at most 0.5x)
#   extract of a zlib ISZ of an ISO             vs  kestrane's extract of the ISO itself (target: at most 1.2x)
#   extract of an LZFSE DMG                     vs  extract of a zlib DMG of the same volume and chunking
#                                                   (target: at most 1.2x)
# and prints the times with their ratios.
#
#   bench/bench_dmg.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/dmg) gets the tree of about 500 MB in 5,000 files (bench/lib.sh), a FAT32 volume
# and an ISO of it, and the DMG and ISZ images made from them by bench/make_chunk_image.py; it needs about 2.5 GB.
# The LZFSE DMG is made of the LZFSE chunks of ../shared/fixtures/lzfse/fat16-chunks (no LZFSE encoder is
# packaged), extracted 20 times per timed run. KESTRANE=path picks the program (default: a Release build in
# build-bench). RUNS=n sets the timed runs per command (default 3; the best counts).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/dmg}"
runs="${RUNS:-3}"
lzfse="${LZFSE_CHUNKS:-$root/../shared/fixtures/lzfse/fat16-chunks}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in mkfs.vfat mcopy 7zz perl python3 genisoimage; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"
make="$root/bench/make_chunk_image.py"

mkdir -p "$work"
src="$work/src"
if [ ! -f "$work/images-made" ]; then
  rm -rf "$src" "$work"/*.img "$work"/*.dmg "$work"/*.isz "$work"/*.iso
  make_tree "$src"
  mkfs.vfat -C -F 32 -s 8 "$work/fat32.img" 620000 >/dev/null
  (cd "$src" && mcopy -s -m -i "$work/fat32.img" ./* ::)
  python3 "$make" dmg-zlib "$work/fat32.img" "$work/fat32.dmg"
  genisoimage -quiet -R -J -o "$work/tree.iso" "$src"
  python3 "$make" isz "$work/tree.iso" "$work/tree.isz"
  python3 "$make" dmg-lzfse "$lzfse" "$work/lzfse.dmg"
  python3 "$make" dmg-zlib256 "$lzfse/fat16.img" "$work/zlib16.dmg"
  touch "$work/images-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); DMG: $(du -h "$work/fat32.dmg" | cut -f1)"

if [ -d /dev/shm ] && [ -w /dev/shm ]; then out="/dev/shm/kestrane-bench-dmg"; else out="$work/out"; fi
fresh_out() {
  rm -rf "$out"
  mkdir -p "$out"
  sync
}
prepare=fresh_out
ratio() { awk -v k="$1" -v p="$2" 'BEGIN { print k / p }'; }

k_dmg=$(best_of kestrane "$bin" extract "$work/fat32.dmg" / -od "$out" -y)
diff -r "$src" "$out" >/dev/null || { echo "kestrane's extraction of the DMG differs from the source tree" >&2; exit 1; }
zz_dmg=$(best_of 7zz 7zz x -y "-o$out" "$work/fat32.dmg")

k_iso=$(best_of kestrane "$bin" extract "$work/tree.iso" / -od "$out" -y)
k_isz=$(best_of kestrane "$bin" extract "$work/tree.isz" / -od "$out" -y)
diff -r "$src" "$out" >/dev/null || { echo "kestrane's extraction of the ISZ differs from the source tree" >&2; exit 1; }

twenty() { for _ in $(seq 20); do rm -rf "$out"; "$bin" extract "$1" / -od "$out" -y >/dev/null 2>&1 </dev/null; done; }
k_lzfse=$(best_of kestrane twenty "$work/lzfse.dmg")
k_zlib16=$(best_of kestrane twenty "$work/zlib16.dmg")
rm -rf "$out"

echo "best of $runs runs; ratio = kestrane / peer"
printf '%-26s %-24s %8.3f s   kestrane %8.3f s   ratio %5.2f\n' "extract zlib DMG" "7zz x" "$zz_dmg" "$k_dmg" \
  "$(ratio "$k_dmg" "$zz_dmg")"
printf '%-26s %-24s %8.3f s   kestrane %8.3f s   ratio %5.2f\n' "extract zlib ISZ" "kestrane extract ISO" \
  "$k_iso" "$k_isz" "$(ratio "$k_isz" "$k_iso")"
printf '%-26s %-24s %8.3f s   kestrane %8.3f s   ratio %5.2f\n' "extract LZFSE DMG (x20)" "same as zlib DMG (x20)" \
  "$k_zlib16" "$k_lzfse" "$(ratio "$k_lzfse" "$k_zlib16")"

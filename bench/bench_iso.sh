#!/usr/bin/env bash
# Times kestrane against the tools a user would otherwise run on the same ISO image, in one run:
#   extract / -od      vs  bsdtar -xf, 7zz x, osirrox -extract
#   list / -r          vs  isoinfo -R -l, 7zz l
# and prints each time with kestrane's time divided by the peer's (below 1.00: kestrane is faster).
#
#   bench/bench_iso.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/iso) gets a tree of about 500 MB in 5,000 files of mixed sizes, its image
# (xorriso -as mkisofs -R -J) and the extracted copies; it needs about 1.6 GB. KESTRANE=path picks the program
# (default: a Release build in build-bench). RUNS=n sets the timed runs per command (default 3; the best counts).
# Every command reads the image once before it is timed, so all of them find it in the page cache.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/iso}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1600000000

for tool in xorriso bsdtar 7zz osirrox isoinfo perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
iso="$work/bench.iso"

if [ ! -f "$work/tree-made" ]; then
  rm -rf "$src" "$iso"
  make_tree "$src"
  xorriso -as mkisofs -quiet -R -J -o "$iso" "$src" >/dev/null 2>&1
  touch "$work/tree-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); image: $(du -h "$iso" | cut -f1)"

# Extraction goes to a memory file system when there is one: on a disk, the file system's own allocation
# work after the previous run's removal swamps what the extractors do.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then out="/dev/shm/kestrane-bench-out"; else out="$work/out"; fi
# Each extraction starts from an empty folder with nothing left to write back from the run before.
fresh_out() {
  rm -rf "$out"
  mkdir -p "$out"
  sync
}
prepare=fresh_out
k_extract=$(best_of kestrane "$bin" extract "$iso" / -od "$out")
# A copy that is not the source tree does not count.
diff -r "$src" "$out" >/dev/null || { echo "kestrane's extraction differs from the source tree" >&2; exit 1; }
tar_extract=$(best_of bsdtar bsdtar -xf "$iso" -C "$out")
zz_extract=$(best_of 7zz 7zz x -y "-o$out" "$iso")
osirrox_extract=$(best_of osirrox osirrox -indev "$iso" -extract / "$out")
rm -rf "$out"
prepare=""
k_list=$(best_of kestrane "$bin" list "$iso" / -r)
isoinfo_list=$(best_of isoinfo isoinfo -R -l -i "$iso")
zz_list=$(best_of 7zz 7zz l "$iso")

row() {  # WHAT PEER PEER_SECONDS KESTRANE_SECONDS
  printf '%-8s %-18s %8.3f s   kestrane %8.3f s   ratio %5.2f\n' "$1" "$2" "$3" "$4" "$(awk -v k="$4" -v p="$3" 'BEGIN { print k / p }')"
}
echo "best of $runs runs; ratio = kestrane / peer"
row extract "bsdtar -xf" "$tar_extract" "$k_extract"
row extract "7zz x" "$zz_extract" "$k_extract"
row extract "osirrox -extract" "$osirrox_extract" "$k_extract"
row list "isoinfo -R -l" "$isoinfo_list" "$k_list"
row list "7zz l" "$zz_list" "$k_list"

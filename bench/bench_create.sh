#!/usr/bin/env bash
# Times `kestrane create` against the mastering tools a user would otherwise run on the same folder, in one run:
#   create -o x.iso -add src /   vs  genisoimage -J, xorriso -as mkisofs -J, and cat of the files (twice)
# then builds 100,000 small files in 100 folders, where any step that grows with the square of a folder's
# entries would show, once into memory (another file system than the files') and once beside the files.
# Prints each time with kestrane's time divided by the peer's (below 1.00: faster).
#
#   bench/bench_create.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/create) gets the 500 MB tree of bench_iso.sh and the small-file tree; images
# go to /dev/shm when it exists. KESTRANE=path picks the program (default: a Release build in build-bench).
# RUNS=n sets the timed runs per command (default 3; the best counts). Every tree is read once before the
# timed runs, so all of them find it in the page cache.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/create}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1600000000

for tool in xorriso genisoimage perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
small="$work/small"
if [ ! -f "$work/tree-made" ]; then
  rm -rf "$src" "$small"
  make_tree "$src"
  mkdir -p "$small"
  # 100 folders of 1,000 files of 20-400 bytes; one in ten repeats an earlier file.
  perl -e '
    my ($dir) = @ARGV;
    my $x = 2463534242;
    sub rnd { $x ^= ($x << 13) & 0xFFFFFFFF; $x ^= $x >> 17; $x ^= ($x << 5) & 0xFFFFFFFF; return $x; }
    for my $d (0 .. 99) {
      my $folder = sprintf("%s/folder%03d", $dir, $d);
      mkdir $folder or die;
      for my $i (0 .. 999) {
        open(my $f, ">", sprintf("%s/item_%04d_with_a_longer_name.txt", $folder, $i)) or die;
        print $f ($i % 10 == 9 ? "repeated content\n" : pack("V*", map { rnd() } 1 .. 5 + rnd() % 95));
        close $f;
      }
    }' "$small"
  find "$src" "$small" -exec touch -h -d @1577934240 {} +
  touch "$work/tree-made"
fi
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1); small tree: $(find "$small" -type f | wc -l) files"

if [ -d /dev/shm ] && [ -w /dev/shm ]; then out="/dev/shm/kestrane-bench-create"; else out="$work/out"; fi
mkdir -p "$out"
clear_out() { rm -f "$out"/*.iso; }
prepare=clear_out

cat_twice() { find "$src" -type f -exec cat {} + >/dev/null; find "$src" -type f -exec cat {} + >/dev/null; }
k_create=$(best_of kestrane "$bin" create -o "$out/k.iso" -add "$src" /)
"$bin" create -o "$out/check.iso" -add "$src" / >/dev/null 2>&1 </dev/null
rm -rf "$out/x" && mkdir -p "$out/x" && xorriso -joliet on -indev "stdio:$out/check.iso" -osirrox on -extract / "$out/x" >/dev/null 2>&1
diff -r "$src" "$out/x" >/dev/null || { echo "kestrane's image does not give the source tree back" >&2; exit 1; }
rm -rf "$out/x" "$out/check.iso"
geniso=$(best_of genisoimage genisoimage -quiet -J -o "$out/g.iso" "$src")
xorr=$(best_of xorriso xorriso -as mkisofs -quiet -J -o "$out/x.iso" "$src")
cat2=$(best_of cat cat_twice)
k_small=$(best_of kestrane "$bin" create -o "$out/ks.iso" -add "$small" /)
geniso_small=$(best_of genisoimage genisoimage -quiet -J -o "$out/gs.iso" "$small")
rm -rf "$out"
# The small-file tree again with the image on the file system the files come from (the kernel may then copy
# between them itself), written back after each run so that no run pays for the one before.
same="$work/same-fs"
mkdir -p "$same"
clear_same() { rm -f "$same"/*.iso; sync; }
prepare=clear_same
k_same=$(best_of kestrane "$bin" create -o "$same/ks.iso" -add "$small" /)
geniso_same=$(best_of genisoimage genisoimage -quiet -J -o "$same/gs.iso" "$small")
rm -rf "$same"

row() {  # WHAT PEER PEER_SECONDS KESTRANE_SECONDS
  printf '%-12s %-24s %8.3f s   kestrane %8.3f s   ratio %5.2f\n' "$1" "$2" "$3" "$4" "$(awk -v k="$4" -v p="$3" 'BEGIN { print k / p }')"
}
echo "best of $runs runs; ratio = kestrane / peer"
row "500 MB" "genisoimage -J" "$geniso" "$k_create"
row "500 MB" "xorriso -as mkisofs -J" "$xorr" "$k_create"
row "500 MB" "cat of the files x2" "$cat2" "$k_create"
row "100k files" "genisoimage -J" "$geniso_small" "$k_small"
row "100k same fs" "genisoimage -J" "$geniso_same" "$k_same"

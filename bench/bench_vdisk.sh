#!/usr/bin/env bash
# Times kestrane's extraction of one 200 MB file from virtual disks against 7-Zip's, in one run:
#   extract DISK /big.bin -od   vs  7zz x DISK big.bin
# for a VHDX (qemu-img's default block size) and a monolithic sparse VMDK, and prints both times with
# kestrane's divided by 7-Zip's (below 1.00: kestrane is faster).
#
#   bench/bench_vdisk.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/vdisk) gets a 400 MiB raw disk (MBR, one FAT32 partition holding a 200 MB file
# of seeded random bytes with a 40 MB hole in its middle, and small files), converted by qemu-img; it needs about
# 1 GB. KESTRANE=path picks the program (default: a Release build in build-bench). RUNS=n sets the timed runs per
# command (default 5; each command's runs alternate with the peer's, and the median counts). Outputs go to a
# memory file system when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/vdisk}"
runs="${RUNS:-5}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in sfdisk mkfs.fat mcopy qemu-img 7zz perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
raw="$work/disk.img"
if [ ! -f "$work/disks-made" ]; then
  rm -rf "$src" "$raw" "$work"/disk.*
  mkdir -p "$src"
  perl -e '
    my ($path) = @ARGV;
    my $x = 88172645;
    sub rnd { $x ^= ($x << 13) & 0xFFFFFFFF; $x ^= $x >> 17; $x ^= ($x << 5) & 0xFFFFFFFF; return $x; }
    my $pool = "";
    $pool .= pack("V*", map { rnd() } 1 .. 4096) while length($pool) < 16 << 20;
    open(my $f, ">", $path) or die;
    binmode $f;
    my $size = 200000000;
    my $done = 0;
    while ($done < $size) {
      my $n = $size - $done < 1 << 20 ? $size - $done : 1 << 20;
      my $hole = $done >= 80000000 && $done < 120000000;
      print $f ($hole ? "\0" x $n : substr($pool, rnd() % ((16 << 20) - $n), $n));
      $done += $n;
    }
    close $f;' "$src/big.bin"
  printf 'hello\n' > "$src/Hello.txt"
  # Not "seq | head": under pipefail, seq's SIGPIPE would end the script here.
  seq 1 60000 > "$src/data.txt"
  truncate -s 300000 "$src/data.txt"
  find "$src" -exec touch -h -d @1577934240 {} +
  truncate -s 400M "$raw"
  printf 'label: dos\nstart=2048, type=c\n' | sfdisk -q "$raw"
  mkfs.fat -F 32 --offset=2048 "$raw" 408576 >/dev/null
  (cd "$src" && mcopy -s -m -i "$raw@@1048576" ./* ::)
  qemu-img convert -f raw -O vhdx "$raw" "$work/disk.vhdx"
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$raw" "$work/disk.vmdk"
  touch "$work/disks-made"
fi

use_scratch_out vdisk


echo "big.bin: 200,000,000 bytes; disks: $(du -h "$work/disk.vhdx" | cut -f1) VHDX, $(du -h "$work/disk.vmdk" | cut -f1) VMDK"
echo "median of $runs alternating runs; ratio = kestrane / peer"
for disk in "$work/disk.vhdx" "$work/disk.vmdk"; do
  # One untimed run of each, checked against the source.
  time_once "$bin" extract "$disk" /big.bin -od "$out" -y >/dev/null
  cmp "$src/big.bin" "$out/big.bin" || { echo "kestrane's big.bin from $disk differs" >&2; exit 1; }
  time_once 7zz x -y "-o$out" "$disk" big.bin >/dev/null
  cmp "$src/big.bin" "$out/big.bin" || { echo "7-Zip's big.bin from $disk differs" >&2; exit 1; }
  k_times=() z_times=()
  for _ in $(seq "$runs"); do
    k_times+=("$(time_once "$bin" extract "$disk" /big.bin -od "$out" -y)")
    z_times+=("$(time_once 7zz x -y "-o$out" "$disk" big.bin)")
  done
  k=$(printf '%s\n' "${k_times[@]}" | median)
  z=$(printf '%s\n' "${z_times[@]}" | median)
  ratio_row "${disk##*.}" "7zz x" "$z" "$k"
done
rm -rf "$out"

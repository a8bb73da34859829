#!/usr/bin/env bash
# Times kestrane's extraction of WIM archives against wimlib-imagex apply and 7-Zip's, in one run:
#   extract / -od   vs  wimlib-imagex apply   vs  7zz x
# for archives captured with XPRESS, LZX, LZMS and solid LZMS, and prints each time with kestrane's divided by
# the faster peer's (below 1.00: kestrane is faster).
#
#   bench/bench_wim.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/wim) gets the 500 MB, 5,000-file tree of bench/lib.sh and the four archives
# (about 2.5 GB). KESTRANE=path picks the program (default: a Release build in build-bench). RUNS=n sets the
# timed runs per command (default 5; the programs take turns, the median counts). Outputs go to a memory file
# system when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/wim}"
runs="${RUNS:-5}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in wimlib-imagex 7zz perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

mkdir -p "$work"
src="$work/src"
if [ ! -f "$work/tree-made" ]; then
  rm -rf "$src"
  make_tree "$src"
  touch "$work/tree-made"
fi
declare -A options=([xpress]="--compress=XPRESS" [lzx]="--compress=LZX" [lzms]="--compress=LZMS" [solid]="--solid")
kinds="xpress lzx lzms solid"
for kind in $kinds; do
  if [ ! -f "$work/$kind.wim" ]; then
    wimlib-imagex capture "$src" "$work/$kind.wim.tmp" ${options[$kind]} >/dev/null
    mv "$work/$kind.wim.tmp" "$work/$kind.wim"
  fi
done
echo "tree: $(find "$src" -type f | wc -l) files, $(du -sh "$src" | cut -f1)"

use_scratch_out wim

echo "median of $runs alternating runs; ratio = kestrane / faster peer"
for kind in $kinds; do
  wim="$work/$kind.wim"
  k_cmd=("$bin" extract "$wim" / -od "$out" -y)
  w_cmd=(wimlib-imagex apply "$wim" 1 "$out")
  z_cmd=(7zz x -y "-o$out" "$wim")
  # Each program's output is checked once against the source tree.
  for cmd in k w z; do
    fresh_out
    eval "\"\${${cmd}_cmd[@]}\"" >/dev/null 2>&1 </dev/null
    if [ "$cmd" = z ] && [ -d "$out/1" ]; then check="$out/1"; else check="$out"; fi
    diff -r "$src" "$check" >/dev/null || { echo "$kind: $cmd's extraction differs from the source tree" >&2; exit 1; }
  done
  : >"$work/k.times"; : >"$work/w.times"; : >"$work/z.times"
  for _ in $(seq "$runs"); do
    time_once "${k_cmd[@]}" >>"$work/k.times"
    time_once "${w_cmd[@]}" >>"$work/w.times"
    time_once "${z_cmd[@]}" >>"$work/z.times"
  done
  k=$(median <"$work/k.times"); w=$(median <"$work/w.times"); z=$(median <"$work/z.times")
  best=$(awk -v a="$w" -v b="$z" 'BEGIN { print (a < b) ? a : b }')
  printf '%-7s wimlib-imagex apply %7.3f s   7zz x %7.3f s   kestrane %7.3f s   ratio %5.2f\n' "$kind" "$w" "$z" "$k" \
    "$(awk -v k="$k" -v p="$best" 'BEGIN { print k / p }')"
done
rm -rf "$out"

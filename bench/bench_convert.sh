#!/usr/bin/env bash
# Times `kestrane convert` between ISO and BIN against bchunk and cat on the same image in one run.
#   bench/bench_convert.sh [work folder]      (RUNS=n sets the repeats; the best run counts)
# The image is the ~500 MB one of bench_iso.sh (made there first when missing).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/iso}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in bchunk; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done
[ -f "$work/bench.iso" ] || RUNS=1 bash "$root/bench/bench_iso.sh" "$work" >/dev/null
bin="$(kestrane_binary "$root")"
# Outputs go to memory when there is room, so the disk's own write-back does not decide the figures.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then out="/dev/shm/kestrane-bench-convert"; else out="$work/convert"; fi
rm -rf "$out" && mkdir -p "$out"
trap 'rm -rf "$out"' EXIT

clear_outputs() { rm -f "$out"/x.bin "$out"/x.cue "$out"/x.copy "$out"/x.iso "$out"/back*; }
prepare=clear_outputs
iso="$work/bench.iso"
"$bin" convert "$iso" -o "$out/t.bin" -y >/dev/null
to_bin=$(best_of run "$bin" convert "$iso" -o "$out/x.bin" -y)
cat_bin=$(best_of run sh -c "cat '$out/t.bin' > '$out/x.copy'")
to_iso=$(best_of run "$bin" convert "$out/t.cue" -o "$out/x.iso" -y)
"$bin" convert "$out/t.cue" -o "$out/check.iso" -y >/dev/null
cmp "$iso" "$out/check.iso" || { echo "the ISO made from the BIN differs from the original" >&2; exit 1; }
rm -f "$out/check.iso"
bchunk_iso=$(best_of run sh -c "cd '$out' && bchunk t.bin t.cue back")

row() {
  printf '%-22s %-24s %8.3f s   kestrane %8.3f s   ratio %5.2f\n' "$1" "$2" "$3" "$4" "$(awk -v k="$4" -v p="$3" 'BEGIN { print k / p }')"
}
echo "image: $(du -h "$iso" | cut -f1); best of $runs runs; ratio = kestrane / peer"
row "ISO to BIN (EDC+ECC)" "cat of the BIN" "$cat_bin" "$to_bin"
row "BIN to ISO (EDC check)" "bchunk" "$bchunk_iso" "$to_iso"

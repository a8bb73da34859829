#!/usr/bin/env bash
# Times QVF writing and reading against the compressors a user would otherwise run on the same image, in one run:
#   convert -method normal          vs  pigz -6 (time) and gzip -6 (time, size)
#   convert -method better / best   vs  xz -5 -T0 (time, size)
#   convert x.qvf -o y.iso          vs  gzip -dc of the gzip -6 file
# and prints kestrane's time divided by the peer's (below 1.00: kestrane is faster) and its size divided by the
# peer's.
#
#   bench/bench_qvf.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/qvf) gets the image: an ISO 9660 image (xorriso -as mkisofs) of one file, a tar of
# /usr cut to SIZE MiB (default 500: programs, libraries, text, pictures). Compressed files and images read back
# go to /dev/shm when it is writable, so that no disk's write-back decides the figures. KESTRANE=path picks the
# program (default: a Release build in build-bench); RUNS=n the timed runs per command (default 3; the best
# counts). Every input is read once before it is timed, so all commands find it in the page cache.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
work="${1:-$root/build-bench/qvf}"
runs="${RUNS:-3}"
size_mib="${SIZE:-500}"
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1600000000

for tool in xorriso gzip pigz xz tar; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="${KESTRANE:-}"
if [ -z "$bin" ]; then
  cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRANE_TESTS=OFF >/dev/null
  ninja -C "$root/build-bench" kestrane >/dev/null
  bin="$root/build-bench/kestrane"
fi

mkdir -p "$work"
iso="$work/mixed-$size_mib.iso"
if [ ! -f "$iso" ]; then
  rm -rf "$work/src" && mkdir -p "$work/src"
  (tar -C / -cf - usr 2>/dev/null || true) | head -c "$((size_mib << 20))" > "$work/src/usr.tar"
  touch -d @1600000000 "$work/src/usr.tar"
  xorriso -as mkisofs -quiet -R -J -o "$iso.part" "$work/src" 2>/dev/null
  mv "$iso.part" "$iso"
  rm -rf "$work/src"
fi

if [ -d /dev/shm ] && [ -w /dev/shm ]; then out="/dev/shm/kestrane-bench-qvf"; else out="$work/out"; fi
rm -rf "$out" && mkdir -p "$out"
trap 'rm -rf "$out"' EXIT

best_of() {
  local best="" t0 t1 t
  for _ in $(seq "$runs"); do
    rm -f "$out"/run.*
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 </dev/null
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
size_of() { stat -c %s "$1"; }

cat "$iso" >/dev/null
bytes=$(size_of "$iso")
echo "image: $iso, $bytes bytes; $(nproc) cores; best of $runs runs; ratio = kestrane / peer"

# The peers, with their outputs kept for the size comparison and the read test.
gzip -6 -c "$iso" > "$out/m.gz"
xz -5 -T0 -c "$iso" > "$out/m.xz"
gzip6_time=$(best_of sh -c "gzip -6 -c '$iso' > '$out/run.gz'")
pigz6_time=$(best_of sh -c "pigz -6 -c '$iso' > '$out/run.gz'")
xz5_time=$(best_of sh -c "xz -5 -T0 -c '$iso' > '$out/run.xz'")
gunzip_time=$(best_of sh -c "gzip -dc '$out/m.gz' > '$out/run.raw'")

printf '%-30s %9s %14s   %s\n' "" "seconds" "bytes" "ratios"
printf '%-30s %9.3f %14d\n' "gzip -6" "$gzip6_time" "$(size_of "$out/m.gz")"
printf '%-30s %9.3f %14s\n' "pigz -6" "$pigz6_time" "-"
printf '%-30s %9.3f %14d\n' "xz -5 -T0" "$xz5_time" "$(size_of "$out/m.xz")"
printf '%-30s %9.3f %14s\n' "gzip -dc" "$gunzip_time" "-"

for method in normal better best; do
  qvf="$out/x-$method.qvf"
  "$bin" convert "$iso" -o "$qvf" -method "$method" -y >/dev/null
  t=$(best_of "$bin" convert "$iso" -o "$out/run.qvf" -method "$method" -y)
  n=$(size_of "$qvf")
  if [ "$method" = normal ]; then
    peers="time / pigz -6 $(ratio "$t" "$pigz6_time"), time / gzip -6 $(ratio "$t" "$gzip6_time"), size / gzip -6 $(awk -v a="$n" -v b="$(size_of "$out/m.gz")" 'BEGIN { printf "%.4f", a / b }')"
  else
    peers="time / xz -5 -T0 $(ratio "$t" "$xz5_time"), size / xz -5 $(awk -v a="$n" -v b="$(size_of "$out/m.xz")" 'BEGIN { printf "%.4f", a / b }')"
  fi
  printf '%-30s %9.3f %14d   %s\n' "convert -method $method" "$t" "$n" "$peers"
  "$bin" convert "$qvf" -o "$out/back.iso" -y >/dev/null
  cmp -s "$iso" "$out/back.iso" || { echo "the image read back from $qvf differs" >&2; exit 1; }
  rm -f "$out/back.iso"
  r=$(best_of "$bin" convert "$qvf" -o "$out/run.iso" -y)
  printf '%-30s %9.3f %14s   %s\n' "read ($method) to ISO" "$r" "-" "time / gzip -dc $(ratio "$r" "$gunzip_time")"
done

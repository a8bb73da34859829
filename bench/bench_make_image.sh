#!/usr/bin/env bash
# make-image of a full simulated DVD (4.7 GB, 2,298,496 sectors) to an ISO on tmpfs, against cat of the disc's
# data file (the image the disc holds) to the same place. The aim: make-image takes at most 1.2 times as long.
#
#   bench/bench_make_image.sh [WORK_DIR]
#
# The simulated drive answers inside kestrane's process (the LD_PRELOAD library of tests/simdrive), so its time
# for each READ(10) is part of make-image's wall time; the simulator's own CPU time (sim-cpu.log, as in
# bench_burn.sh) is printed beside it, and the ratio without it. Counting that CPU time costs two clock system
# calls per command, so the timed runs leave it off (KESTRANE_SIMDRIVE_CPU=0) and each is followed by an untimed
# run of the same make-image that counts it. The disc and the outputs live on /dev/shm: the
# disc is made smaller when two copies of 4.7 GB do not fit in its free space (the size used is printed).
# KESTRANE=path picks the program (default: a Release build in build-bench/make-image-build, which also builds
# the simulator). RUNS=n sets the timed runs of each (default 3; the best counts).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

build="$root/build-bench/make-image-build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRANE_TESTS=ON >/dev/null
ninja -C "$build" kestrane simdrive simdrive_preload >/dev/null
bin="${KESTRANE:-$build/kestrane}"
simdrive="$build/simdrive"
preload="$build/libsimdrive_preload.so"

[ -d /dev/shm ] && [ -w /dev/shm ] || { echo "no writable /dev/shm" >&2; exit 1; }
state=/dev/shm/kestrane-bench-make-image-disc
use_scratch_out make-image
rm -rf "$state" "$out"
# The disc and one output at a time, with 256 MiB to spare.
free_kb=$(df -k --output=avail /dev/shm | tail -1)
sectors=2298496
fit=$(( (free_kb - 262144) * 1024 / 2 / 2048 ))
if [ "$fit" -lt "$sectors" ]; then sectors=$fit; fi
[ "$sectors" -gt 16384 ] || { echo "too little room on /dev/shm" >&2; exit 1; }
echo "disc: $sectors sectors ($(( sectors * 2048 / 1000000 )) MB) of random data"

mkdir -p "$state"
"$simdrive" "$state" create-drive 0
head -c $(( sectors * 2048 )) /dev/urandom | "$simdrive" "$state" make-disc "$state/disc" dvd-rom closed --from /dev/stdin
"$simdrive" "$state" insert 0 "$state/disc"
source_file="$state/disc/data.bin"

make_image() {
  rm -f "$state/sg0/cdb.log"
  LD_PRELOAD="$preload" KESTRANE_SIMDRIVE_DIR="$state" KESTRANE_SIMDRIVE_CPU="${counting:-0}" "$bin" make-image \
    /dev/sg0 -o "$out/disc.iso"
}
# simulator_cpu: the simulator's CPU seconds in one more (untimed) make-image.
simulator_cpu() {
  rm -f "$state/sim-cpu.log" "$out/disc.iso"
  counting=1 make_image >/dev/null 2>&1 </dev/null || { echo "failed: make-image" >&2; exit 1; }
  rm -f "$out/disc.iso"
  awk '{ s += $1 } END { printf "%.3f", s / 1e9 }' "$state/sim-cpu.log"
}
copy() { cat "$source_file" >"$out/disc.iso"; }

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
best_make=""; best_cat=""; best_sim=""
for i in $(seq "$runs"); do
  t=$(time_once make_image) || exit 1
  cmp -s "$source_file" "$out/disc.iso" || { echo "make-image gave a different image" >&2; exit 1; }
  sim=$(simulator_cpu) || exit 1
  c=$(time_once copy) || exit 1
  echo "run $i: make-image ${t}s (simulator ${sim}s CPU), cat ${c}s"
  if [ -z "$best_make" ] || awk -v a="$t" -v b="$best_make" 'BEGIN { exit !(a < b) }'; then best_make=$t; best_sim=$sim; fi
  if [ -z "$best_cat" ] || awk -v a="$c" -v b="$best_cat" 'BEGIN { exit !(a < b) }'; then best_cat=$c; fi
done
awk -v m="$best_make" -v c="$best_cat" -v s="$best_sim" 'BEGIN {
  printf "make-image %.3fs, cat %.3fs: ratio %.2f (target <= 1.2); without the simulator'"'"'s CPU time %.2f\n",
    m, c, m / c, (m - s) / c }'
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -rf "$state" "$out"

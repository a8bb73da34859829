#!/usr/bin/env bash
# Burns a 700 MB data image to the simulated CD-R (or the disc MEDIA names: dvd+r, bd-r, ...) at its full write
# speed (48x for the CD-R, 16x DVD, 6x BD: the simulator's paced drive takes as long per WRITE as the medium's
# speed implies) and prints how much CPU time kestrane itself spent, as
# a share of one core over the burn's wall time (the aim: at most 5 %). One unpaced run follows for reference.
#
#   bench/bench_burn.sh [WORK_DIR]
#
# Method: the simulated recorder runs inside kestrane's process (the LD_PRELOAD library of tests/simdrive), so
# the process's CPU time holds both. The preload library reads its thread's CPU clock (CLOCK_THREAD_CPUTIME_ID)
# before and after every command it answers and, when the process ends, adds the sum to sim-cpu.log in the
# state folder. kestrane's own CPU time is the process's user + system time (from GNU time) less that sum; its
# share is that time divided by the wall time of the burn. There is no peer to compare with (no other program
# here burns to the simulator); the simulator's own time is printed beside kestrane's.
#
# WORK_DIR (default build-bench/burn) gets the 700 MB image (genisoimage of one file of random data, made once) and the simulator's disc,
# on tmpfs (/dev/shm) when there is room. KESTRANE=path picks the program (default: a Release build in
# build-bench/burn-build, which also builds the simulator). RUNS=n sets the paced runs (default 3;
# the median counts).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/burn}"
runs="${RUNS:-3}"
media="${MEDIA:-cd-r}"
export TZ=UTC LC_ALL=C.UTF-8

for tool in /usr/bin/time genisoimage; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done
# The simulator is test infrastructure: a Release build with the tests configured, of which only the program
# and the simulator are built.
build="$root/build-bench/burn-build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRANE_TESTS=ON >/dev/null
ninja -C "$build" kestrane simdrive simdrive_preload >/dev/null
bin="${KESTRANE:-$build/kestrane}"
simdrive="$build/simdrive"
preload="$build/libsimdrive_preload.so"

mkdir -p "$work"
image="$work/image700.iso"
if [ ! -f "$image" ]; then
  rm -rf "$work/src"
  mkdir -p "$work/src"
  head -c $((340000 * 2048)) /dev/urandom >"$work/src/data.bin"
  touch -d @1577934240 "$work/src/data.bin"
  SOURCE_DATE_EPOCH=1577934240 genisoimage -quiet -o "$image.part" "$work/src"
  rm -rf "$work/src"
  mv "$image.part" "$image"
fi
if [ -d /dev/shm ] && [ -w /dev/shm ]; then state="/dev/shm/kestrane-bench-burn"; else state="$work/state"; fi

# one_run [--paced]: burns the image once and prints: wall, kestrane CPU, simulator CPU (seconds), kestrane's share
# of one core (%).
one_run() {
  rm -rf "$state"
  mkdir -p "$state"
  "$simdrive" "$state" create-drive 0 "$@"
  "$simdrive" "$state" make-disc "$state/disc" "$media" blank
  "$simdrive" "$state" insert 0 "$state/disc"
  local t0 t1 sim_ns
  t0=$(date +%s.%N)
  LD_PRELOAD="$preload" KESTRANE_SIMDRIVE_DIR="$state" /usr/bin/time -f "%U %S" -o "$state/time.txt" \
    "$bin" burn-image "$image" /dev/sg0 </dev/null >"$state/out.txt" 2>&1 || { cat "$state/out.txt" >&2; exit 1; }
  t1=$(date +%s.%N)
  grep -q "Burning completed successfully." "$state/out.txt" || { cat "$state/out.txt" >&2; exit 1; }
  sim_ns=$(awk '{ s += $1 } END { print s + 0 }' "$state/sim-cpu.log")
  awk -v t0="$t0" -v t1="$t1" -v ns="$sim_ns" '{ wall = t1 - t0; cpu = $1 + $2; sim = ns / 1e9;
    own = cpu - sim; printf "%.3f %.3f %.3f %.2f\n", wall, own, sim, 100 * own / wall }' "$state/time.txt"
  rm -rf "$state"
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
# The drive writes at the medium's full speed, as a recorder does: about 85 s for the image on a CD-R at 48x
# (8,467 KB/s), 32 s on a DVD+R at 16x.
echo "medium: $media"
results=()
for i in $(seq "$runs"); do
  line=$(one_run --paced)
  echo "run $i at full speed: wall, kestrane CPU, simulator CPU (s), kestrane share (%): $line"
  results+=("$line")
done
median=$(printf '%s\n' "${results[@]}" | sort -t' ' -k4 -n | awk -v n="${#results[@]}" 'NR == int((n + 1) / 2)')
read -r wall own sim share <<<"$median"
echo "median at full speed: burn ${wall}s; kestrane ${own}s CPU, simulator ${sim}s CPU; kestrane uses ${share}% of one core"
# For reference: a drive that takes data as fast as the simulator can store it.
read -r wall own sim share <<<"$(one_run)"
echo "unpaced: burn ${wall}s; kestrane ${own}s CPU, simulator ${sim}s CPU; kestrane ${share}% of the wall time"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"

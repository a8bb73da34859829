#!/usr/bin/env bash
# Burns a 700 MB data image to the simulated CD-R at the simulator's full speed and prints how much CPU time
# kestrane itself spent, as a share of one core over the burn's wall time (the aim: at most 5 %).
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
# WORK_DIR (default build-bench/burn) gets the 700 MB image (random data, made once) and the simulator's disc,
# on tmpfs (/dev/shm) when there is room. KESTRANE=path picks the program (default: a Release build in
# build-bench/burn-build, which also builds the simulator). RUNS=n sets the timed runs (default 3; the median counts).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/burn}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

command -v /usr/bin/time >/dev/null || { echo "missing /usr/bin/time: run scripts/setup" >&2; exit 1; }
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
  head -c $((350000 * 2048)) /dev/urandom >"$image.part"
  mv "$image.part" "$image"
fi
if [ -d /dev/shm ] && [ -w /dev/shm ]; then state="/dev/shm/kestrane-bench-burn"; else state="$work/state"; fi

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
results=()
for i in $(seq "$runs"); do
  rm -rf "$state"
  mkdir -p "$state"
  "$simdrive" "$state" create-drive 0
  "$simdrive" "$state" make-disc "$state/disc" cd-r blank
  "$simdrive" "$state" insert 0 "$state/disc"
  t0=$(date +%s.%N)
  LD_PRELOAD="$preload" KESTRANE_SIMDRIVE_DIR="$state" /usr/bin/time -f "%U %S" -o "$state/time.txt" \
    "$bin" burn-image "$image" /dev/sg0 </dev/null >"$state/out.txt" 2>&1 || { cat "$state/out.txt"; exit 1; }
  t1=$(date +%s.%N)
  grep -q "Burning completed successfully." "$state/out.txt" || { cat "$state/out.txt"; exit 1; }
  sim_ns=$(awk '{ s += $1 } END { print s + 0 }' "$state/sim-cpu.log")
  line=$(awk -v t0="$t0" -v t1="$t1" -v ns="$sim_ns" '{ wall = t1 - t0; cpu = $1 + $2; sim = ns / 1e9;
    own = cpu - sim; printf "%.3f %.3f %.3f %.2f", wall, own, sim, 100 * own / wall }' "$state/time.txt")
  echo "run $i: wall, kestrane CPU, simulator CPU (s), kestrane share (%): $line"
  results+=("$line")
done
rm -rf "$state"
median=$(printf '%s\n' "${results[@]}" | sort -t' ' -k4 -n | awk -v n="${#results[@]}" 'NR == int((n + 1) / 2)')
read -r wall own sim share <<<"$median"
echo "median: burn ${wall}s; kestrane ${own}s CPU, simulator ${sim}s CPU; kestrane uses ${share}% of one core"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"

# Shared by the benchmark scripts: the test tree and the timing loop.

# make_tree DIR: about 500 MB in 5,000 files under 100 folders in two levels; 4,000 files of 1-16 KiB, 960 of
# 64-512 KiB and 40 of 3-7 MiB, cut from a seeded pool of random bytes so that every run measures the same data.
make_tree() {
  local src="$1"
  perl -e '
    my ($dir) = @ARGV;
    my $x = 88172645;
    sub rnd { $x ^= ($x << 13) & 0xFFFFFFFF; $x ^= $x >> 17; $x ^= ($x << 5) & 0xFFFFFFFF; return $x; }
    my $pool = "";
    $pool .= pack("V*", map { rnd() } 1 .. 4096) while length($pool) < 16 << 20;
    for my $i (0 .. 4999) {
      my $size = $i < 4000 ? 1024 + rnd() % (15 << 10)
               : $i < 4960 ? (64 << 10) + rnd() % (448 << 10)
               : (3 << 20) + rnd() % (4 << 20);
      my $folder = sprintf("%s/dir%02d/sub%02d", $dir, $i % 10, ($i / 10) % 10);
      system("mkdir", "-p", $folder) unless -d $folder;
      open(my $f, ">", sprintf("%s/file%04d.bin", $folder, $i)) or die;
      binmode $f;
      while ($size > 0) {
        my $n = $size < 1 << 20 ? $size : 1 << 20;
        print $f substr($pool, rnd() % ((16 << 20) - $n), $n);
        $size -= $n;
      }
      close $f;
    }' "$src"
  find "$src" -exec touch -h -d @1577934240 {} +
}

# best_of NAME COMMAND...: runs the command once untimed, then RUNS times (each after $prepare, when set),
# and prints the best wall time.
best_of() {
  local name="$1" best="" t0 t1 t
  shift
  if [ -n "${prepare:-}" ]; then "$prepare"; fi
  "$@" >/dev/null 2>&1 </dev/null || { echo "$name failed: $*" >&2; exit 1; }
  for _ in $(seq "$runs"); do
    if [ -n "${prepare:-}" ]; then "$prepare"; fi
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 </dev/null
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}


# kestrane_binary ROOT: the program to time: $KESTRANE when set, else a Release build in ROOT/build-bench.
kestrane_binary() {
  local root="$1"
  if [ -n "${KESTRANE:-}" ]; then echo "$KESTRANE"; return; fi
  cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRANE_TESTS=OFF >/dev/null
  ninja -C "$root/build-bench" kestrane >/dev/null
  echo "$root/build-bench/kestrane"
}

# use_scratch_out NAME: $out becomes the folder the timed runs write into: on tmpfs when there is one, so that the
# output disk does not weigh in, else under $work.
use_scratch_out() {
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then out="/dev/shm/kestrane-bench-$1"; else out="$work/out"; fi
}

# fresh_out: an empty $out, with earlier writes flushed so that they do not land in the next timing.
fresh_out() {
  rm -rf "$out"
  mkdir -p "$out"
  sync
}

# time_once COMMAND...: prints the wall time of one run into a fresh output folder; a failing run ends the script.
time_once() {
  fresh_out
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 </dev/null || { echo "failed: $*" >&2; exit 1; }
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }'
}

# median: the median of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ratio_row WHAT PEER PEER_SECONDS KESTRANE_SECONDS: one result line, the ratio being kestrane / peer.
ratio_row() {
  printf '%-8s %-18s %8.3f s   kestrane %8.3f s   ratio %5.2f\n' "$1" "$2" "$3" "$4" \
    "$(awk -v k="$4" -v p="$3" 'BEGIN { print k / p }')"
}

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

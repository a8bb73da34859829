#!/usr/bin/env bash
# Times kestrane's deflate against gzip and pigz on the same data in one run, as a QVF "normal" image compresses
# it: 64 KiB chunks, each an independent stream with its CRC-32, on all cores.
#   bench/bench_deflate.sh [work folder]      (RUNS=n sets the repeats; the best run counts; SIZE=MiB, default 500)
# The data is a tar of /usr cut to SIZE MiB (programs, libraries, text, images: a mixed disc image's content).
# Prints MB/s of each level on one core and on all cores, the size against gzip -6 and the time against pigz -6.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/deflate}"
runs="${RUNS:-3}"
size_mib="${SIZE:-500}"
build="${BUILD:-$root/build-bench}"
export LC_ALL=C.UTF-8

for tool in gzip pigz tar g++; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRANE_TESTS=OFF >/dev/null
ninja -C "$build" kestrane_core >/dev/null

mkdir -p "$work"
data="$work/mixed-$size_mib.tar"
if [ ! -f "$data" ]; then
  (tar -C / -cf - usr 2>/dev/null || true) | head -c "$((size_mib << 20))" > "$data.part"
  mv "$data.part" "$data"
fi

driver="$work/bench_deflate_driver"
cat > "$work/bench_deflate_driver.cpp" <<'EOF'
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qvf/deflate.h"
#include "runtime/crc.h"
#include "runtime/parallel.h"

// argv: file, level (lazy|fast), threads (1|all), runs. Prints "<seconds> <compressed bytes>" of the best run.
int main(int argc, char** argv) {
  if (argc != 5) return 2;
  FILE* f = std::fopen(argv[1], "rb");
  if (!f) return 2;
  std::vector<uint8_t> data;
  uint8_t block[1 << 20];
  for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) data.insert(data.end(), block, block + n);
  std::fclose(f);
  const bool lazy = std::strcmp(argv[2], "lazy") == 0;
  const bool all = std::strcmp(argv[3], "all") == 0;
  const int runs = std::atoi(argv[4]);
  const int64_t chunk = 65536;
  const int64_t chunks = (static_cast<int64_t>(data.size()) + chunk - 1) / chunk;
  std::vector<int64_t> sizes(chunks);
  double best = 1e30;
  for (int run = 0; run < runs; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    // Each thread takes the next chunk when it is done with one, so uneven chunks leave no core idle.
    std::atomic<int64_t> next{0};
    auto body = [&](int64_t, int64_t) {
      CDeflateState* state = DeflateThreadState();
      std::vector<uint8_t> out(DeflateCompressBound(chunk) + 4);
      for (int64_t i; (i = next.fetch_add(1)) < chunks;) {
        const int64_t length = std::min<int64_t>(chunk, static_cast<int64_t>(data.size()) - i * chunk);
        const uint8_t* in = data.data() + i * chunk;
        const int64_t n = lazy ? DeflateCompressLazy(state, in, out.data(), length, 0)
                               : DeflateCompressFast(state, in, out.data(), length, 0);
        const uint32_t crc = Crc32Compute(out.data(), static_cast<size_t>(n));
        std::memcpy(out.data() + n, &crc, 4);
        sizes[i] = n + 4;
      }
    };
    if (all) {
      ParallelFor(std::thread::hardware_concurrency(), 1, body);
    } else {
      body(0, 1);
    }
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (t < best) best = t;
  }
  int64_t total = 0;
  for (int64_t n : sizes) total += n;
  std::printf("%.6f %lld\n", best, static_cast<long long>(total));
  return 0;
}
EOF
g++ -O2 -std=c++20 -I "$root/src" "$work/bench_deflate_driver.cpp" "$build/libkestrane_core.a" -lz -lpthread -o "$driver"

cat "$data" >/dev/null
bytes=$(stat -c %s "$data")
mbs() { awk -v b="$bytes" -v t="$1" 'BEGIN { printf "%.1f", b / t / 1e6 }'; }

gzip6_size=$(gzip -6 -c "$data" | wc -c)
gzip1_size=$(gzip -1 -c "$data" | wc -c)
gzip6_time=$(best_of run sh -c "gzip -6 -c '$data' >/dev/null")
pigz6_time=$(best_of run sh -c "pigz -6 -c '$data' >/dev/null")
pigz1_time=$(best_of run sh -c "pigz -1 -c '$data' >/dev/null")

echo "data: $bytes bytes ($data), $(nproc) cores"
printf '%-24s %10s %8s %14s\n' "" "seconds" "MB/s" "bytes"
printf '%-24s %10.3f %8s %14d\n' "gzip -6" "$gzip6_time" "$(mbs "$gzip6_time")" "$gzip6_size"
printf '%-24s %10.3f %8s %14s\n' "pigz -6" "$pigz6_time" "$(mbs "$pigz6_time")" "-"
printf '%-24s %10.3f %8s %14s\n' "pigz -1" "$pigz1_time" "$(mbs "$pigz1_time")" "$gzip1_size (gzip -1)"
for level in lazy fast; do
  for threads in 1 all; do
    read -r t n < <("$driver" "$data" "$level" "$threads" "$runs")
    printf '%-24s %10.3f %8s %14d\n' "kestrane $level, $threads" "$t" "$(mbs "$t")" "$n"
    if [ "$threads" = all ]; then
      peer_time=$pigz6_time; peer_size=$gzip6_size; peer="-6"
      if [ "$level" = fast ]; then peer_time=$pigz1_time; peer_size=$gzip1_size; peer="-1"; fi
      awk -v t="$t" -v p="$peer_time" -v n="$n" -v s="$peer_size" -v peer="$peer" 'BEGIN {
        printf "  time / pigz %s: %.2f   size / gzip %s: %.4f\n", peer, t / p, peer, n / s }'
    fi
  done
done

#!/usr/bin/env bash
# Times QVF writing and reading against the compressors a user would otherwise run on the same image, in one run:
#   convert -method normal          vs  pigz -6 (time) and gzip -6 (time, size)
#   convert -method better / best   vs  xz -5 -T0 (time, size)
#   convert x.qvf -o y.iso          vs  gzip -dc of the gzip -6 file
# Each peer and kestrane take turns, so that both meet the same machine; the script prints kestrane's time divided
# by the peer's (below 1.00: kestrane is faster) and its size divided by the peer's.
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
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/qvf}"
runs="${RUNS:-3}"
size_mib="${SIZE:-500}"
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1600000000

for tool in xorriso gzip pigz xz tar; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup" >&2; exit 1; }
done

bin="$(kestrane_binary "$root")"

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

# Times two commands taking turns, `runs` times each, and prints the best time of each: a peer and kestrane
# measured side by side see the same machine, whatever else it is doing.
best_pair() {
  local a="" b="" t0 t1 t
  for _ in $(seq "$runs"); do
    for which in a b; do
      rm -f "$out"/run.*
      t0=$(date +%s.%N)
      if [ "$which" = a ]; then sh -c "$1" >/dev/null 2>&1 </dev/null; else sh -c "$2" >/dev/null 2>&1 </dev/null; fi
      t1=$(date +%s.%N)
      t=$(awk -v x="$t0" -v y="$t1" 'BEGIN { printf "%.6f", y - x }')
      if [ "$which" = a ]; then
        if [ -z "$a" ] || awk -v t="$t" -v b="$a" 'BEGIN { exit !(t < b) }'; then a=$t; fi
      else
        if [ -z "$b" ] || awk -v t="$t" -v c="$b" 'BEGIN { exit !(t < c) }'; then b=$t; fi
      fi
    done
  done
  echo "$a $b"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
size_of() { stat -c %s "$1"; }

cat "$iso" >/dev/null
bytes=$(size_of "$iso")
echo "image: $iso, $bytes bytes; $(nproc) cores; best of $runs runs each; ratios: kestrane / peer"

# The peers' outputs, kept for the size comparison and the read test.
gzip -6 -c "$iso" > "$out/m.gz"
xz -5 -T0 -c "$iso" > "$out/m.xz"
gz_size=$(size_of "$out/m.gz")
xz_size=$(size_of "$out/m.xz")
printf '%-34s %9s %9s %14s %14s   %s\n' "" "peer s" "kestrane s" "peer bytes" "kestrane bytes" "ratios"
row() {
  printf '%-34s %9.3f %9.3f %14s %14s   %s\n' "$1" "$2" "$3" "$4" "$5" "$6"
}

q="$out/x"
for method in normal better best; do
  "$bin" convert "$iso" -o "$q-$method.qvf" -method "$method" -y >/dev/null
  "$bin" convert "$q-$method.qvf" -o "$out/back.iso" -y >/dev/null
  cmp -s "$iso" "$out/back.iso" || { echo "the image read back from $q-$method.qvf differs" >&2; exit 1; }
  rm -f "$out/back.iso"
  n=$(size_of "$q-$method.qvf")
  write="'$bin' convert '$iso' -o '$out/run.qvf' -method $method -y"
  if [ "$method" = normal ]; then
    read -r p k < <(best_pair "pigz -6 -c '$iso' > '$out/run.gz'" "$write")
    row "write normal vs pigz -6" "$p" "$k" "$gz_size" "$n" "time $(ratio "$k" "$p"), size / gzip -6 $(awk -v a="$n" -v b="$gz_size" 'BEGIN { printf "%.4f", a / b }')"
    read -r p k < <(best_pair "gzip -6 -c '$iso' > '$out/run.gz'" "$write")
    row "write normal vs gzip -6" "$p" "$k" "$gz_size" "$n" "time $(ratio "$k" "$p")"
  else
    read -r p k < <(best_pair "xz -5 -T0 -c '$iso' > '$out/run.xz'" "$write")
    row "write $method vs xz -5 -T0" "$p" "$k" "$xz_size" "$n" "time $(ratio "$k" "$p"), size / xz -5 $(awk -v a="$n" -v b="$xz_size" 'BEGIN { printf "%.4f", a / b }')"
  fi
  read -r p k < <(best_pair "gzip -dc '$out/m.gz' > '$out/run.raw'" "'$bin' convert '$q-$method.qvf' -o '$out/run.iso' -y")
  row "read $method vs gzip -dc" "$p" "$k" "-" "-" "time $(ratio "$k" "$p")"
done

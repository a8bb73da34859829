#!/usr/bin/env bash
# Times kestrane's ripping of a 700 MB audio CUE image into WAV files against `cat` of its BIN file, in one run:
#   extract album.cue / -od   vs  cat album.bin > out
# and prints both times with kestrane's divided by cat's (the target is at most 1.20).
#
#   bench/bench_audio.sh [WORK_DIR]
#
# WORK_DIR (default build-bench/audio) gets a 700 MB BIN of 14 audio tracks (ffmpeg tones and noise) with its
# CUE sheet and CD-TEXT. KESTRANE=path picks the program (default: a Release build in build-bench). RUNS=n sets
# the timed runs per command (default 3; the best counts). Outputs go to a memory file system when there is one.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
work="${1:-$root/build-bench/audio}"
runs="${RUNS:-3}"
export TZ=UTC LC_ALL=C.UTF-8

command -v ffmpeg >/dev/null || { echo "missing ffmpeg: run scripts/setup" >&2; exit 1; }
bin="$(kestrane_binary "$root")"

mkdir -p "$work"
image="$work/album.bin"
sheet="$work/album.cue"
tracks=14
if [ ! -f "$work/album-made" ]; then
  # 14 tracks of 50 MB each: 22,296 sectors (4 min 57 s 21 frames) of tone and pink noise.
  rm -f "$image"
  for n in $(seq 1 $tracks); do
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "anoisesrc=color=pink:seed=$n:duration=300" \
      -ac 2 -ar 44100 -f s16le -acodec pcm_s16le "$work/track.raw"
    head -c $((22296 * 2352)) "$work/track.raw" >>"$image"
  done
  {
    echo 'PERFORMER "Bench Band"'
    echo 'TITLE "Bench Album"'
    echo 'FILE "album.bin" BINARY'
    for n in $(seq 1 $tracks); do
      frames=$(((n - 1) * 22296))
      printf '  TRACK %02d AUDIO\n    TITLE "Piece %d"\n    INDEX 01 %02d:%02d:%02d\n' "$n" "$n" \
        $((frames / 4500)) $((frames / 75 % 60)) $((frames % 75))
    done
  } >"$sheet"
  rm -f "$work/track.raw"
  touch "$work/album-made"
fi
echo "image: $(du -h "$image" | cut -f1), $tracks tracks"

use_scratch_out audio
prepare=fresh_out
cat_copy() { cat "$image" >"$out/album.bin"; }
k_rip=$(best_of kestrane "$bin" extract "$sheet" / -od "$out" -y)
[ "$(ls "$out" | wc -l)" -eq "$tracks" ] || { echo "kestrane did not write $tracks WAV files" >&2; exit 1; }
cat_time=$(best_of cat cat_copy)
rm -rf "$out"

echo "best of $runs runs; ratio = kestrane / peer"
ratio_row rip "cat album.bin" "$cat_time" "$k_rip"

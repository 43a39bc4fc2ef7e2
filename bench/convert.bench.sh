# export --convert-to against the ffmpeg command run on every core, on the
# same FLAC files in the same run (best of BENCH_RUNS, interleaved):
#   export --convert-to mp3 (VBR V2)   vs  ls *.flac | xargs -P nproc ffmpeg -q:a 2
#   export --convert-to aac (256 kb/s) vs  ls *.flac | xargs -P nproc ffmpeg -b:a 256k
# Sizes: BENCH_CONVERT_COUNT files of BENCH_CONVERT_SECONDS of stereo
# 44.1 kHz noise-and-tone (default 16 x 30 s).
set -euo pipefail
build=$1 scratch=$2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
tessaline="$build/src/tessaline"
runs=${BENCH_RUNS:-3}
count=${BENCH_CONVERT_COUNT:-16} length=${BENCH_CONVERT_SECONDS:-30}
command -v ffmpeg >/dev/null || { echo "ffmpeg missing (make bench-deps installs it)"; exit 1; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
mkdir -p "$scratch/m" "$scratch/lists"
: >"$scratch/lists/All.m3u8"
for i in $(seq -w 1 "$count"); do
  ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=$((200 + 10#$i * 30)):duration=$length" \
    -f lavfi -i "anoisesrc=d=$length:a=0.05" -filter_complex amix=inputs=2 -ac 2 -ar 44100 \
    -metadata title="Track $i" "$scratch/m/$i.flac"
  echo "../m/$i.flac" >>"$scratch/lists/All.m3u8"
done
for row in "mp3|-c:a libmp3lame -q:a 2|mp3|mp3 V2" "aac|-c:a aac -b:a 256k|m4a|aac 256k"; do
  IFS='|' read -r codec flags ext name <<<"$row"
  ours="" peer=""
  for _ in $(seq "$runs"); do
    rm -rf "$scratch/drive" && mkdir -p "$scratch/drive"
    t=$(seconds "$tessaline" export --library "$scratch/lists" --to "$scratch/drive" --formats mp3 \
      --convert-to "$codec" --yes -q); ours=$(min "$ours" "$t")
    rm -rf "$scratch/out" && mkdir -p "$scratch/out"
    t=$(seconds bash -c "cd '$scratch/m' && ls *.flac | xargs -P $(nproc) -I{} ffmpeg -nostdin \
      -loglevel error -i {} -map 0:a $flags '$scratch/out/{}.$ext'"); peer=$(min "$peer" "$t")
  done
  printf '%-44s %8ss  %-34s %8ss  ratio %5s\n' "export --convert-to $name, $count x ${length}s" \
    "$ours" "xargs -P $(nproc) ffmpeg, same settings" "$peer" "$(ratio "$ours" "$peer")"
done

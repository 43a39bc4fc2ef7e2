# export --convert-to against the ffmpeg command run on every core, on the
# same FLAC files in the same run (the median of BENCH_RUNS runs, interleaved):
#   export --convert-to mp3 (VBR V2)   vs  ls *.flac | xargs -P nproc ffmpeg -q:a 2
#   export --convert-to aac (256 kb/s) vs  ls *.flac | xargs -P nproc ffmpeg -b:a 256k
# Sizes: BENCH_CONVERT_COUNT files of BENCH_CONVERT_SECONDS of stereo
# 44.1 kHz noise-and-tone (default 16 x 30 s). A second export with
# nothing changed is set beside a dry run of the same.
set -euo pipefail
build=$1 scratch=$2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
tessaline="$build/src/tessaline"
runs=${BENCH_RUNS:-5}
count=${BENCH_CONVERT_COUNT:-16} length=${BENCH_CONVERT_SECONDS:-30}
command -v ffmpeg >/dev/null || { echo "ffmpeg missing (make bench-deps installs it)"; exit 1; }
mkdir -p "$scratch/m" "$scratch/lists"
: >"$scratch/lists/All.m3u8"
for i in $(seq -w 1 "$count"); do
  ffmpeg -nostdin -y -loglevel error -f lavfi -i "sine=frequency=$((200 + 10#$i * 30)):duration=$length" \
    -f lavfi -i "anoisesrc=d=$length:a=0.05" -filter_complex amix=inputs=2 -ac 2 -ar 44100 \
    -metadata title="Track $i" "$scratch/m/$i.flac"
  echo "../m/$i.flac" >>"$scratch/lists/All.m3u8"
done
for row in "mp3|-c:a libmp3lame -q:a 2|mp3|mp3 V2" "aac|-c:a aac -b:a 256k|m4a|aac 256k"; do
  IFS='|' read -r codec flags ext name <<<"$row"
  # BENCH_CONVERT_CODECS="mp3" runs that row alone.
  case " ${BENCH_CONVERT_CODECS:-mp3 aac} " in *" $codec "*) ;; *) continue ;; esac
  ours=() peer=() again=() dry=()
  export_to() { "$tessaline" export --library "$scratch/lists" --to "$scratch/drive" --formats mp3 \
    --convert-to "$codec" "$@" -q; }
  for _ in $(seq "$runs"); do
    rm -rf "$scratch/drive" && mkdir -p "$scratch/drive"
    ours+=("$(seconds export_to --yes)")
    # Nothing changed since: the export converts nothing, against the plan alone.
    again+=("$(seconds export_to --yes)")
    dry+=("$(seconds export_to --dry-run)")
    rm -rf "$scratch/out" && mkdir -p "$scratch/out"
    peer+=("$(seconds bash -c "cd '$scratch/m' && ls *.flac | xargs -P $(nproc) -I{} ffmpeg -nostdin \
      -loglevel error -i {} -map 0:a $flags '$scratch/out/{}.$ext'")")
  done
  m=$(median "${ours[@]}") p=$(median "${peer[@]}") a=$(median "${again[@]}") d=$(median "${dry[@]}")
  printf '%-44s %8ss  %-34s %8ss  ratio %5s\n' "export --convert-to $name, $count x ${length}s" \
    "$m" "xargs -P $(nproc) ffmpeg, same settings" "$p" "$(ratio "$m" "$p")"
  printf '%-44s %8ss  %-34s %8ss  ratio %5s\n' "  again, nothing changed" "$a" "the dry run of it" "$d" \
    "$(ratio "$a" "$d")"
done
echo "(median of $runs interleaved runs each; load: $(cut -d' ' -f1-3 /proc/loadavg))"

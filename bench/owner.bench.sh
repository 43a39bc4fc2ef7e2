# What the owner waits for, as the owner runs it, against the tool the
# owner would pick instead, each pair on the same data in the same run:
# the median of BENCH_RUNS runs (5), ours and the peer's interleaved, each
# side first in every other run, with the load average before and after.
# Libraries have the shape of real ones: 20,000 tracks of 2 KB with some
# twenty-five keys each, 200 playlists of 1,000 entries drawn at random.
#   dry run, half the copies deleted since   vs  rsync -an --stats
#     (~10 tracks per album folder, accented names; and one per folder)
#   dry run, everything on the drive         vs  rsync -an --stats
#   first export, one track per folder       vs  cp -r && sync
#   check --fast of a drive exported to five times, the sources of a fifth
#     of the tracks touched before each       vs  find -printf '%s %T@\n'
#   reading the library alone (tessaline playlists), for the record.
# Each file begins with a fifth of a second of AAC in MP4 (made here by
# the ffmpeg command line), as a real track's file is media: the exporter
# looks into every source it has not seen to tell its format, and random
# bytes are what FFmpeg finds hardest to tell. BENCH_MEDIA=0 keeps them
# random. The copies are deleted outside the exporter, as the owner does
# on the drive itself. Rows: BENCH_OWNER_ROWS="dry10 dry10all dry1 first1 check
# library"; sizes: BENCH_SMALL_COUNT, BENCH_SMALL_BYTES.
# BENCH_BASELINE=/path/to/an/older/tessaline adds that binary's median,
# interleaved with the rest, and ours over it.
set -euo pipefail
build=$1 scratch=$2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
tessaline="$build/src/tessaline"
runs=${BENCH_RUNS:-5}
count=${BENCH_SMALL_COUNT:-20000} bytes=${BENCH_SMALL_BYTES:-2048}
rows=${BENCH_OWNER_ROWS:-"dry10 dry10all dry1 first1 check library"}
baseline=${BENCH_BASELINE:-}
shape="--rich --playlists 200 --entries 1000"
mkdir -p "$scratch"
if [ "${BENCH_MEDIA:-1}" != 0 ] && command -v ffmpeg >/dev/null &&
  ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=0.2 \
    -c:a aac -b:a 32k "$scratch/tone.m4a"; then
  shape="$shape --media $scratch/tone.m4a"
fi

trap 'for m in "$scratch"/*/drive "$scratch"/*/cp; do if mountpoint -q "$m"; then umount "$m"; fi; done' EXIT
fresh_fs=${BENCH_FRESH_FS:-$([ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null && echo 1 || echo 0)}

wanted() { [[ " $rows " == *" $1 "* ]]; }
load() { awk '{ print $1 }' /proc/loadavg; }
row() {  # WHAT OURS PEER_NAME PEER GOAL LOAD_BEFORE [OLD]
  printf '%-52s %7ss  %-26s %7ss  ratio %5s  goal %-6s load %s..%s\n' \
    "$1" "$2" "$3" "$4" "$(ratio "$2" "$4")" "$5" "$6" "$(load)"
  [ -z "${7:-}" ] || printf '  %-50s %7ss  ours = %s x that\n' "the baseline binary" "$7" "$(ratio "$2" "$7")"
}
# fresh DIR MB: DIR empty, on an ext4 file system of its own when root
# (a drive fresh from the shop; see export.bench.sh for why).
fresh() {
  unfresh "$1"
  mkdir -p "$1"
  [ "$fresh_fs" = 1 ] || return 0
  truncate -s "${2}M" "$1.img"
  mkfs.ext4 -q -F -i 4096 -E lazy_itable_init=0,lazy_journal_init=0 "$1.img"
  mount -o loop "$1.img" "$1"
}
unfresh() {
  if mountpoint -q "$1"; then umount "$1"; fi
  rm -rf "$1" "$1.img"
}
# measure WHO...: runs each contender's run_WHO BENCH_RUNS times, the
# order turned every run so that none always goes first; med WHO then
# gives its median.
declare -A times
measure() {
  local i j n=$# who t
  local all=("$@")
  for w in "${all[@]}"; do times[$w]=""; done
  for i in $(seq 0 $((runs - 1))); do
    for j in $(seq 0 $((n - 1))); do
      who=${all[$(((i + j) % n))]}
      t=$("run_$who")
      times[$who]="${times[$who]} $t"
    done
  done
}
med() { median ${times[$1]}; }

export_cmd() { "$1" export --library "$2/Library.xml" --to "$2/drive" "${@:3}"; }

# dry NAME PER_FOLDER DELETE GOAL EXTRA...: export everything, delete
# every second copy when DELETE, then the dry run against rsync.
dry() {
  local set="$scratch/$1" before
  python3 "$here/make_export_tree.py" "$set" "$count" "$bytes" "$2" $shape "${@:5}"
  mkdir -p "$set/drive"
  export_cmd "$tessaline" "$set" --yes -q >/dev/null
  if [ "$3" = 1 ]; then
    find "$set/drive/Music" -type f -name '*.m4a' | sort | awk 'NR % 2' | tr '\n' '\0' | xargs -0 rm -f
  fi
  sync
  export_cmd "$tessaline" "$set" --dry-run >/dev/null  # warm caches for both
  rsync -an "$set/src/" "$set/drive/Music/" >/dev/null
  run_ours() { seconds export_cmd "$tessaline" "$set" --dry-run; }
  run_peer() { seconds rsync -an --stats "$set/src/" "$set/drive/Music/"; }
  run_old() { seconds export_cmd "$baseline" "$set" --dry-run; }
  before=$(load)
  if [ -n "$baseline" ]; then measure ours peer old; else measure ours peer; fi
  local what="dry run, $count, $2 per folder"
  [ "$3" = 1 ] && what="$what, half deleted" || what="$what, all on the drive"
  row "$what" "$(med ours)" "rsync -an --stats" "$(med peer)" "$4" "$before" \
    "$([ -z "$baseline" ] || med old)"
  rm -rf "$set"
}

first() {
  local set="$scratch/first1" before mb
  python3 "$here/make_export_tree.py" "$set" "$count" "$bytes" 1 $shape --accents
  mb=$(( (count * (bytes + 8192) * 2) / 1048576 + 256 ))
  find "$set/src" -type f -exec cat {} + >/dev/null
  run_ours() {
    fresh "$set/drive" "$mb"; sync
    seconds export_cmd "$tessaline" "$set" --yes -q
    [ -z "$(diff -rq "$set/src" "$set/drive/Music")" ] || { echo "the export differs from the source" >&2; exit 1; }
  }
  run_peer() { fresh "$set/cp" "$mb"; sync; seconds bash -c "cp -r '$set/src' '$set/cp/Music' && sync"; }
  run_old() { fresh "$set/drive" "$mb"; sync; seconds export_cmd "$baseline" "$set" --yes -q; }
  before=$(load)
  if [ -n "$baseline" ]; then measure ours peer old; else measure ours peer; fi
  unfresh "$set/drive"; unfresh "$set/cp"
  row "first export, $count, one per folder" "$(med ours)" "cp -r && sync" "$(med peer)" "<=1.0" "$before" \
    "$([ -z "$baseline" ] || med old)"
  rm -rf "$set"
}

check_fast() {
  local set="$scratch/check" before files
  python3 "$here/make_export_tree.py" "$set" "$count" "$bytes" 10 $shape --accents
  mkdir -p "$set/drive"
  local pass
  for pass in 1 2 3 4 5; do
    # A fifth of the sources changed before each export: their copies are
    # replaced, and the record gathers their history.
    find "$set/src" -type f | sort | awk -v p="$pass" 'NR % 5 == p % 5' | tr '\n' '\0' |
      xargs -0 touch -d "@$((1700000000 + pass * 1000))"
    export_cmd "$tessaline" "$set" --yes -q >/dev/null
  done
  files=$(find "$set/drive" -type f | wc -l)
  sync
  run_ours() { seconds "$tessaline" check --fast "$set/drive"; }
  run_peer() { seconds find "$set/drive" -printf '%s %T@\n'; }
  run_old() { seconds "$baseline" check --fast "$set/drive"; }
  "$tessaline" check --fast "$set/drive" >/dev/null
  before=$(load)
  if [ -n "$baseline" ]; then measure ours peer old; else measure ours peer; fi
  row "check --fast, $files files, exported to 5 times" "$(med ours)" "find -printf '%s %T@\\n'" "$(med peer)" "<=1.5" "$before" \
    "$([ -z "$baseline" ] || med old)"
  rm -rf "$set"
}

library() {
  local set="$scratch/library" before
  python3 "$here/make_export_tree.py" "$set" "$count" "$bytes" 10 $shape --accents
  cat "$set/Library.xml" >/dev/null
  run_ours() { seconds "$tessaline" playlists --library "$set/Library.xml"; }
  run_peer() { seconds cat "$set/Library.xml"; }
  run_old() { seconds "$baseline" playlists --library "$set/Library.xml"; }
  before=$(load)
  if [ -n "$baseline" ]; then measure ours peer old; else measure ours peer; fi
  row "library read alone, $(( $(stat -c %s "$set/Library.xml") / 1000000 )) MB" "$(med ours)" "cat" "$(med peer)" "-" "$before" \
    "$([ -z "$baseline" ] || med old)"
  rm -rf "$set"
}

echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores; median of $runs interleaved runs;" \
  "sources $([[ $shape == *--media* ]] && echo "begin with real AAC" || echo "are random bytes")"
wanted dry10 && dry dry10 10 1 "<=1.0" --accents
wanted dry10all && dry dry10all 10 0 "<=1.0"
wanted dry1 && dry dry1 1 1 "<=0.8" --accents
wanted first1 && first
wanted check && check_fast
wanted library && library
exit 0

# The export command end to end, as a user runs it, against the tool the
# user would pick instead, each pair measured in the same run on the same
# generated data (the median of BENCH_RUNS runs, interleaved):
#   first export of many small files (one per folder, and ten per album
#   folder) and of 1 MB files      vs  cp -r SRC DST && sync
#   first export of large files    vs  dd ... conv=fdatasync of each file
#   the dry run, half on the drive vs  rsync -an --stats
#   library load (no playlists)    vs  a bare libxml2 xmlTextReader pass,
#                                      with peak memory of both.
# Every export and dry-run row comes in two library shapes: one playlist
# listing every track in folder order, and the shape of real libraries
# (rows marked "playlists"): hundreds of playlists whose entries come in
# random order, each track in several of them (200 of 1,000 entries for
# the small files, 4 of 1,000 for the 1 MB ones; 500 of 1,000 for the
# 100,000-track dry run).
# The dry runs and the library load also show a bare libxml2 push-parser
# pass over the same library: what parsing it costs with the parser the
# reader falls back on (its own scanner, a batch ahead on a thread of its
# own, reads the plain form of exports for less).
# The export flushes every file before it gets its name; cp alone does
# not, so the peer is cp followed by sync, which gives the same
# durability. Sizes can be made smaller for a quick run:
#   BENCH_RUNS=5 BENCH_SMALL_COUNT=20000 BENCH_SMALL_BYTES=2048
#   BENCH_MEDIUM_COUNT=2000 BENCH_MEDIUM_BYTES=1048576
#   BENCH_LARGE_COUNT=8 BENCH_LARGE_BYTES=268435456
#   BENCH_LIBRARY_TRACKS=100000 BENCH_HUGE_COUNT=100000
#   BENCH_ROWS="small1 small10 medium large dry1 dry10 library small1p
#     small10p mediump dry1p dry10p dryhuge" (a subset)
# As root, every first export (ours and the peer's alike) writes to an
# ext4 file system made for it on a loop device, as a drive fresh from
# the shop: on a file system that has just deleted the run before's tens
# of thousands of files, ext4 looks over each recently freed inode before
# it hands out a new one, and the runs measured that instead (cp of
# 20,000 small files took 26 s rather than 2). BENCH_FRESH_FS=0 writes to
# the scratch folder instead, as any user's run does.
# On a virtual machine that hands freed memory back to its host (free
# page reporting, as here), memory fresh from the host costs many times
# more to fill, and the rows that write gigabytes move with it: cp -r &&
# sync of the 2,000 x 1 MB took 1.6 s in one run and 13 s in another.
# The exporter hands each flushed batch's pages back and so reuses its
# memory; cp keeps every page it wrote, so its times vary most. Look at single runs (and the load) before reading much into one
# median of those rows.
# BENCH_BASELINE=/path/to/an/older/tessaline adds that binary's run to
# the export, dry-run and library rows, interleaved, and its ratio: the
# way to show what a change costs on the same machine in the same run.
set -euo pipefail
build=$1 scratch=$2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
tessaline="$build/src/tessaline"
reader_pass="$build/bench/bench_xml_reader_pass"
sax_pass="$build/bench/bench_xml_sax_pass"
runs=${BENCH_RUNS:-5}
small_count=${BENCH_SMALL_COUNT:-20000} small_bytes=${BENCH_SMALL_BYTES:-2048}
medium_count=${BENCH_MEDIUM_COUNT:-2000} medium_bytes=${BENCH_MEDIUM_BYTES:-1048576}
large_count=${BENCH_LARGE_COUNT:-8} large_bytes=${BENCH_LARGE_BYTES:-268435456}
library_tracks=${BENCH_LIBRARY_TRACKS:-100000} huge_count=${BENCH_HUGE_COUNT:-100000}
rows=${BENCH_ROWS:-"small1 small10 medium large dry1 dry10 library small1p small10p mediump dry1p dry10p dryhuge"}
baseline=${BENCH_BASELINE:-}

# A run cut short leaves no file system mounted.
trap 'for m in "$scratch"/*/drive "$scratch"/*/cp; do if mountpoint -q "$m"; then umount "$m"; fi; done' EXIT
fresh_fs=${BENCH_FRESH_FS:-$([ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null && echo 1 || echo 0)}

wanted() { [[ " $rows " == *" $1 "* ]]; }
# fresh DIR MB: DIR empty, on a new ext4 file system of MB megabytes when
# fresh_fs is on (undone by unfresh DIR).
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
load() { awk '{ print $1 }' /proc/loadavg; }
size_text() { awk -v b="$1" 'BEGIN { if (b >= 1048576) printf "%g MB", b / 1048576; else printf "%g KB", b / 1024 }'; }
row() {  # WHAT OURS PEER_NAME PEER GOAL LOAD_BEFORE
  printf '%-58s %8ss  %-28s %8ss  ratio %5s  goal %-8s load %s..%s\n' \
    "$1" "$2" "$3" "$4" "$(ratio "$2" "$4")" "$5" "$6" "$(load)"
}
export_cmd() { "$tessaline" export --library "$1/Library.xml" --to "$2" "${@:3}"; }
# ", P playlists of E" for a shape of many playlists, else nothing.
shape_text() { [ $# -ge 4 ] && printf ', %s playlists of %s' "$2" "$4" || true; }

# first_export NAME COUNT BYTES PER_FOLDER GOAL [SHAPE...]: our export vs
# cp -r && sync; SHAPE is passed to make_export_tree.py.
first_export() {
  local set="$scratch/$1" ours=() peer=() old=() t before mb
  python3 "$here/make_export_tree.py" "$set" "$2" "$3" "$4" "${@:6}"
  # Room for the files, twice over, and their folders' inodes.
  mb=$(( ($2 * ($3 + 8192) * 2) / 1048576 + 256 ))
  cat "$set/src"/*/*/* >/dev/null  # both read from a warm cache
  before=$(load)
  # Each contender takes its turn first in one run of every three: the
  # file system's work left over from the one before slows the next flush.
  local i order who
  for i in $(seq 0 $((runs - 1))); do
    case $((i % 3)) in 0) order="ours peer old" ;; 1) order="peer old ours" ;; *) order="old ours peer" ;; esac
    for who in $order; do
      fresh "$set/drive" "$mb"; fresh "$set/cp" "$mb"; sync
      case $who in
        ours)
          t=$(seconds export_cmd "$set" "$set/drive" --yes)
          ours+=("$t")
          [ -z "$(diff -rq "$set/src" "$set/drive/Music")" ] || { echo "$1: the export differs from the source" >&2; return 1; } ;;
        peer)
          t=$(seconds bash -c "cp -r '$set/src' '$set/cp/Music' && sync")
          peer+=("$t") ;;
        old)
          [ -n "$baseline" ] || continue
          t=$(seconds "$baseline" export --library "$set/Library.xml" --to "$set/drive" --yes)
          old+=("$t") ;;
      esac
    done
  done
  unfresh "$set/drive"; unfresh "$set/cp"
  local m
  m=$(median "${ours[@]}")
  row "first export, $2 x $(size_text "$3"), $4 per folder$(shape_text "${@:6}")" "$m" "cp -r && sync" "$(median "${peer[@]}")" "$5" "$before"
  [ -z "$baseline" ] || printf '  %-56s %8ss  ours = %s x that\n' "the baseline binary, same rows" "$(median "${old[@]}")" "$(ratio "$m" "$(median "${old[@]}")")"
  rm -rf "$set"
}

# large_export NAME COUNT BYTES: our export vs dd conv=fdatasync per file.
large_export() {
  local set="$scratch/$1" ours=() peer=() before
  python3 "$here/make_export_tree.py" "$set" "$2" "$3" 1
  cat "$set/src"/*/*/* >/dev/null
  before=$(load)
  for _ in $(seq "$runs"); do
    rm -rf "$set/drive" "$set/dd"; mkdir -p "$set/drive" "$set/dd"; sync
    ours+=("$(seconds export_cmd "$set" "$set/drive" --yes)")
    rm -rf "$set/drive"; sync
    peer+=("$(seconds bash -c "for f in '$set/src'/*/*/*; do dd if=\"\$f\" of='$set/dd'/\"\$(basename \"\$f\")\" bs=16M conv=fdatasync status=none || exit 1; done")")
  done
  local m p mbs_ours mbs_dd
  m=$(median "${ours[@]}") p=$(median "${peer[@]}")
  mbs_ours=$(awk -v b="$(( $2 * $3 ))" -v t="$m" 'BEGIN { printf "%.0f", b / t / 1e6 }')
  mbs_dd=$(awk -v b="$(( $2 * $3 ))" -v t="$p" 'BEGIN { printf "%.0f", b / t / 1e6 }')
  row "first export, $2 x $(size_text "$3") ($mbs_ours MB/s vs dd $mbs_dd MB/s)" "$m" "dd conv=fdatasync" "$p" "<=1.11" "$before"
  rm -rf "$set"
}

# dry_run NAME COUNT PER_FOLDER GOAL [SHAPE...]: the dry run with half of
# the tracks on the drive vs rsync -an --stats.
dry_run() {
  local set="$scratch/$1" ours=() peer=() floor=() old=() t before
  mkdir -p "$set/drive"
  python3 "$here/make_export_tree.py" "$set" "$2" "$small_bytes" "$3" --half-into "$set/drive" "${@:5}"
  # The tree just made is written back first: otherwise the kernel's
  # write-back of its files runs beside the first runs of both.
  sync
  export_cmd "$set" "$set/drive" --dry-run >/dev/null  # warm caches for both
  before=$(load)
  # Each contender takes its turn first in turn, as in the first exports:
  # a run straight after another one's exit finds memory in another state
  # (here, freed memory goes back to the host a moment after).
  local i who
  for i in $(seq 0 $((runs - 1))); do
    for who in $(case $((i % 4)) in 0) echo ours old peer floor ;; 1) echo old peer floor ours ;;
                   2) echo peer floor ours old ;; *) echo floor ours old peer ;; esac); do
      case $who in
        ours) ours+=("$(seconds export_cmd "$set" "$set/drive" --dry-run)") ;;
        old)
          [ -n "$baseline" ] || continue
          old+=("$(seconds "$baseline" export --library "$set/Library.xml" --to "$set/drive" --dry-run)") ;;
        peer) peer+=("$(seconds rsync -an --stats "$set/src/" "$set/drive/Music/")") ;;
        floor) floor+=("$(seconds "$sax_pass" "$set/Library.xml")") ;;
      esac
    done
  done
  local m p f
  m=$(median "${ours[@]}") p=$(median "${peer[@]}") f=$(median "${floor[@]}")
  row "dry run, $2 tracks, $3 per folder, half on the drive$(shape_text "${@:5}")" "$m" "rsync -an --stats" "$p" "$4" "$before"
  [ -z "$baseline" ] || printf '  %-56s %8ss  ours = %s x that\n' "the baseline binary, same rows" "$(median "${old[@]}")" "$(ratio "$m" "$(median "${old[@]}")")"
  # What parsing the library alone costs with libxml2.
  printf '  %-56s %8ss  = %s x rsync\n' "a bare libxml2 push-parser pass over the library" "$f" "$(ratio "$f" "$p")"
  rm -rf "$set"
}

# library_load: a dry run of a library without playlists vs a bare
# xmlTextReader pass over the same file, wall time and peak memory. The
# bytes per track are given two ways: the whole peak over the tracks, and
# what the tracks add to the same command's peak on an empty library (the
# program's own code and shared libraries, Qt's among them, are not the
# library's).
library_load() {
  local set="$scratch/library" ours=() peer=() sax=() old=() ours_kb=() peer_kb=() empty_kb="" before t kb
  mkdir -p "$set/drive"
  python3 "$here/generate_library.py" "$set/Library.xml" "$library_tracks" 0
  python3 "$here/generate_library.py" "$set/Empty.xml" 0 0
  cat "$set/Library.xml" >/dev/null
  /usr/bin/time -f "%M" -o "$set/time" "$tessaline" export --library "$set/Empty.xml" --to "$set/drive" --dry-run >/dev/null
  empty_kb=$(cat "$set/time")
  before=$(load)
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %M" -o "$set/time" "$tessaline" export --library "$set/Library.xml" --to "$set/drive" --dry-run >/dev/null
    read -r t kb <"$set/time"; ours+=("$t"); ours_kb+=("$kb")
    /usr/bin/time -f "%e %M" -o "$set/time" "$reader_pass" "$set/Library.xml" >/dev/null
    read -r t kb <"$set/time"; peer+=("$t"); peer_kb+=("$kb")
    sax+=("$(seconds "$sax_pass" "$set/Library.xml")")
    [ -z "$baseline" ] || old+=("$(seconds "$baseline" export --library "$set/Library.xml" --to "$set/drive" --dry-run)")
  done
  ours=$(median "${ours[@]}") peer=$(median "${peer[@]}") sax=$(median "${sax[@]}")
  ours_kb=$(median "${ours_kb[@]}") peer_kb=$(median "${peer_kb[@]}")
  [ -z "$baseline" ] || old=$(median "${old[@]}")
  local mb
  mb=$(awk -v b="$(stat -c %s "$set/Library.xml")" 'BEGIN { printf "%.0f MB", b / 1e6 }')
  row "library load, $library_tracks tracks, $mb" "$ours" "xmlTextReader pass" "$peer" "<=1.3" "$before"
  printf '  %-56s %8ss  ours = %s x that\n' "a bare libxml2 push-parser pass" "$sax" "$(ratio "$ours" "$sax")"
  [ -z "$baseline" ] || printf '  %-56s %8ss  ours = %s x that\n' "the baseline binary, same rows" "$old" "$(ratio "$ours" "$old")"
  awk -v a="$ours_kb" -v b="$peer_kb" -v e="$empty_kb" -v n="$library_tracks" 'BEGIN {
    printf "%-58s %6.1f MB  %-28s %6.1f MB  %.0f bytes per track over the %.1f MB of an empty library, %.0f in all (goal <= 400)\n",
      "  peak memory", a / 1024, "xmlTextReader pass", b / 1024, (a - e) * 1024 / n, e / 1024, a * 1024 / n }'
  rm -rf "$set"
}

echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores; median of $runs runs;" \
  "first exports to $([ "$fresh_fs" = 1 ] && echo "a fresh ext4 file system each" || echo "the scratch folder")"
many="--playlists 200 --entries 1000"
wanted small1 && first_export small1 "$small_count" "$small_bytes" 1 "<=1.2"
wanted small1p && first_export small1p "$small_count" "$small_bytes" 1 "<=1.2" $many
wanted small10 && first_export small10 "$small_count" "$small_bytes" 10 "<=1.2"
wanted small10p && first_export small10p "$small_count" "$small_bytes" 10 "<=1.2" $many
wanted medium && first_export medium "$medium_count" "$medium_bytes" 10 "<=1.1"
wanted mediump && first_export mediump "$medium_count" "$medium_bytes" 10 "<=1.1" --playlists 4 --entries 1000
wanted large && large_export large "$large_count" "$large_bytes"
wanted dry1 && dry_run dry1 "$small_count" 1 "<=1.0"
wanted dry1p && dry_run dry1p "$small_count" 1 "<=1.0" $many
wanted dry10 && dry_run dry10 "$small_count" 10 "<=0.5"
wanted dry10p && dry_run dry10p "$small_count" 10 "<=1.0" $many
wanted dryhuge && dry_run dryhuge "$huge_count" 10 "<=1.0" --playlists 500 --entries 1000
wanted library && library_load
exit 0

# Copy run throughput against cp -r of the same files: 2,000 files of
# 1 MB, and 8 files of 256 MB. Goal: wall time at most 1.05 times cp's.
# Our copy flushes every file to the disk before giving it its name (so a
# power cut never leaves a truncated track that looks finished); cp does
# not, so cp -r followed by sync, which gives the same durability, is
# shown as well. Best of three runs each, interleaved.
set -euo pipefail
build=$1 scratch=$2
. "$(dirname "$0")/common.sh"
bin="$build/bench/bench_copy_run"

make_set() {  # DIR COUNT SIZE_MB
  mkdir -p "$1"
  for i in $(seq "$2"); do
    head -c "$(( $3 * 1024 * 1024 ))" /dev/urandom > "$1/file-$i.bin"
  done
}

run_set() {  # NAME COUNT SIZE_MB
  local set="$scratch/$1"
  make_set "$set/src/d" "$2" "$3"
  cat "$set/src/d"/* > /dev/null  # both read from a warm cache
  local ours="" cp_time="" cp_sync=""
  for _ in 1 2 3; do
    rm -rf "$set/ours" "$set/cp"; sync
    read -r t _ < <("$bin" "$set/src" "$set/ours")
    if [ -z "$ours" ] || awk -v t="$t" -v b="$ours" 'BEGIN { exit !(t < b) }'; then ours=$t; fi
    rm -rf "$set/ours"; sync
    t=$(seconds cp -r "$set/src" "$set/cp")
    if [ -z "$cp_time" ] || awk -v t="$t" -v b="$cp_time" 'BEGIN { exit !(t < b) }'; then cp_time=$t; fi
    rm -rf "$set/cp"; sync
    t=$(seconds bash -c "cp -r '$set/src' '$set/cp' && sync")
    if [ -z "$cp_sync" ] || awk -v t="$t" -v b="$cp_sync" 'BEGIN { exit !(t < b) }'; then cp_sync=$t; fi
  done
  rm -rf "$set"
  echo "$1: copy run ${ours}s, cp -r ${cp_time}s (ratio $(ratio "$ours" "$cp_time")), cp -r + sync ${cp_sync}s (ratio $(ratio "$ours" "$cp_sync")); goal at most 1.05"
}

run_set small 2000 1
run_set large 8 256

# `tessaline check` and `export --verify` against the tools a user would
# pick instead, on the same exported drive in the same run (best of
# BENCH_RUNS, interleaved):
#   check (reads and hashes every recorded file)  vs  xxhsum -H3 over the same files
#   check --fast (sizes and times only)           vs  find DIR -printf '%s %T@\n'
#   export --verify, its cost over a plain export  vs  cat of the copies after
#                                                     posix_fadvise DONTNEED
# The page cache is dropped before every hashing run where this process
# may (root); otherwise both sides read from a warm cache, which is said.
# Sizes: BENCH_CHECK_COUNT files of BENCH_CHECK_BYTES (default 2000 x 1 MB).
set -euo pipefail
build=$1 scratch=$2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
tessaline="$build/src/tessaline"
runs=${BENCH_RUNS:-3}
count=${BENCH_CHECK_COUNT:-2000} bytes=${BENCH_CHECK_BYTES:-1048576}
command -v xxhsum >/dev/null || { echo "xxhsum missing (make bench-deps installs xxhash)"; exit 1; }
row() {  # WHAT OURS PEER_NAME PEER
  printf '%-52s %8ss  %-34s %8ss  ratio %5s\n' "$1" "$2" "$3" "$4" "$(ratio "$2" "$4")"
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
cold() { if [ -w /proc/sys/vm/drop_caches ]; then sync; echo 1 >/proc/sys/vm/drop_caches; fi; }
cache=$([ -w /proc/sys/vm/drop_caches ] && echo "cold cache" || echo "warm cache")

set_dir="$scratch/set"
python3 "$here/make_export_tree.py" "$set_dir" "$count" "$bytes" 10
mkdir -p "$set_dir/drive"
"$tessaline" export --library "$set_dir/Library.xml" --to "$set_dir/drive" --yes -q >/dev/null
mb=$(( count * bytes / 1048576 ))
ours="" peer="" fast="" find_t=""
for _ in $(seq "$runs"); do
  cold; t=$(seconds "$tessaline" check "$set_dir/drive"); ours=$(min "$ours" "$t")
  cold; t=$(seconds bash -c "find '$set_dir/drive/Music' -type f -print0 | xargs -0 xxhsum -H3"); peer=$(min "$peer" "$t")
  t=$(seconds "$tessaline" check --fast "$set_dir/drive"); fast=$(min "$fast" "$t")
  t=$(seconds find "$set_dir/drive" -printf '%s %T@\n'); find_t=$(min "$find_t" "$t")
done
row "check, $count files, $mb MB ($cache)" "$ours" "xxhsum -H3 of each file" "$peer"
row "check --fast, $count files" "$fast" "find -printf '%s %T@\\n'" "$find_t"

# --verify: what it adds to an export, against reading the copies back
# after dropping them from the cache the same way.
plain="" verified="" readback=""
for _ in $(seq "$runs"); do
  rm -rf "$set_dir/drive"; mkdir -p "$set_dir/drive"; sync
  t=$(seconds "$tessaline" export --library "$set_dir/Library.xml" --to "$set_dir/drive" --yes -q); plain=$(min "$plain" "$t")
  t=$(seconds python3 -c "
import os, sys
for root, _, files in os.walk(sys.argv[1]):
    for n in files:
        fd = os.open(os.path.join(root, n), os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        while os.read(fd, 1 << 20): pass
        os.close(fd)" "$set_dir/drive/Music"); readback=$(min "$readback" "$t")
  rm -rf "$set_dir/drive"; mkdir -p "$set_dir/drive"; sync
  t=$(seconds "$tessaline" export --library "$set_dir/Library.xml" --to "$set_dir/drive" --yes -q --verify); verified=$(min "$verified" "$t")
done
extra=$(awk -v a="$verified" -v b="$plain" 'BEGIN { printf "%.3f", a - b }')
row "export --verify over a plain export ($plain s)" "$extra" "fadvise DONTNEED, then read back" "$readback"
rm -rf "$set_dir"

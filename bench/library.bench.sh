# Library export loading: the streaming reader against Python's plistlib on
# the same generated library (100,000 tracks, 500 playlists).
# Goal: at least 5x faster and at most a quarter of plistlib's peak memory.
set -euo pipefail
build=$1
scratch=$2
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/common.sh"
lib="$scratch/iTunes Library.xml"
python3 "$here/generate_library.py" "$lib" "${TESSALINE_BENCH_TRACKS:-100000}" "${TESSALINE_BENCH_PLAYLISTS:-500}"
echo "library: $(awk -v b="$(stat -c %s "$lib")" 'BEGIN { printf "%.1f MB", b / 1e6 }')"

field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$2"; }
# best_run CMD...: the run with the lowest wall time of three.
best_run() {
  local best="" out
  for _ in 1 2 3; do
    out=$("$@")
    if [ -z "$best" ] || awk -v t="$(field wall_s "$out")" -v b="$(field wall_s "$best")" \
        'BEGIN { exit !(t < b) }'; then best=$out; fi
  done
  echo "$best"
}
ours=$(best_run "$build/bench/bench_library_load" --once "$lib")
theirs=$(best_run python3 "$here/plistlib_load.py" "$lib")
echo "reader:   $ours"
echo "plistlib: $theirs"
speed=$(ratio "$(field wall_s "$theirs")" "$(field wall_s "$ours")")
cpu=$(ratio "$(field cpu_s "$theirs")" "$(field cpu_s "$ours")")
mem=$(ratio "$(field peak_kb "$ours")" "$(field peak_kb "$theirs")")
echo "speed-up: ${speed}x wall, ${cpu}x CPU (goal >= 5x)"
echo "memory:   ${mem} of plistlib's peak (goal <= 0.25)"
TESSALINE_BENCH_LIBRARY="$lib" "$build/bench/bench_library_load" --benchmark_counters_tabular=true
if awk -v s="$speed" -v m="$mem" 'BEGIN { exit !(s >= 5 && m <= 0.25) }'; then
  echo "goal met"
else
  echo "goal missed (wall times vary with the machine's load; compare the CPU ratio too)"
fi

# The window on a library of 100,000 tracks in 500 playlists, under Xvfb:
# the time until its table is filled against `tessaline export --dry-run`
# on the same library (goal <= 1.1x), and the longest event-loop gap while
# paging through the table (goal: none over 50 ms). The median of
# BENCH_RUNS interleaved runs.
#   BENCH_WINDOW_TRACKS=100000 BENCH_WINDOW_PLAYLISTS=500
set -euo pipefail
build=$1 scratch=$2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
probe="$build/bench/bench_window_paging"
tessaline="$build/src/tessaline"
runs=${BENCH_RUNS:-5}
tracks=${BENCH_WINDOW_TRACKS:-100000} playlists=${BENCH_WINDOW_PLAYLISTS:-500}
if [ ! -x "$probe" ] || ! command -v xvfb-run >/dev/null; then
  echo "skipped: no $probe or no xvfb-run"
  exit 0
fi
mkdir -p "$scratch/drive" "$scratch/home"
python3 "$here/generate_library.py" "$scratch/Library.xml" "$tracks" "$playlists"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config"
ours=() peer=() worst=""
for _ in $(seq "$runs"); do
  read -r t gap rows pages < <(xvfb-run -a "$probe" "$scratch/Library.xml" "$scratch/drive")
  ours+=("$t")
  worst=$(awk -v a="$worst" -v b="$gap" 'BEGIN { print (a == "" || b > a) ? b : a }')
  peer+=("$(seconds "$tessaline" export --library "$scratch/Library.xml" --to "$scratch/drive" --dry-run)")
done
m=$(median "${ours[@]}") p=$(median "${peer[@]}")
printf '%-58s %8ss  %-28s %8ss  ratio %5s  goal <=1.1\n' \
  "window: table of $rows playlists filled, $tracks tracks" "$m" "export --dry-run" "$p" "$(ratio "$m" "$p")"
printf '%-58s %6s ms  (goal <= 50 ms, worst of %s runs)\n' "  longest event-loop gap paging $pages times" "$worst" "$runs"

# Stale-file list over 100,000 generated files against find -printf '%s'.
set -euo pipefail
build=$1
scratch=$2
TMPDIR="$scratch" "$build/bench/bench_stale_files"

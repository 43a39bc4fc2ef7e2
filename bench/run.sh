#!/usr/bin/env bash
# Runs every benchmark against its peer on the same data in the same run.
# Usage: bench/run.sh BUILD_DIR   (make bench does this)
# Each bench/*.bench.sh receives the build folder and a scratch folder,
# and prints its own numbers and ratios.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build-bench}" && pwd)"
scratch="${BENCH_SCRATCH:-$(mktemp -d /tmp/tessaline-bench-XXXXXX)}"
trap 'rm -rf "$scratch"' EXIT
status=0
for script in "$here"/*.bench.sh; do
  echo "=== $(basename "$script" .bench.sh)"
  mkdir -p "$scratch/$(basename "$script" .bench.sh)"
  if ! bash "$script" "$build" "$scratch/$(basename "$script" .bench.sh)"; then
    echo "FAILED: $script"
    status=1
  fi
done
exit $status

# Catalogue load and reload: time and memory per listing.
set -euo pipefail
build=$1
"$build/bench/bench_catalogue_load" --benchmark_counters_tabular=true

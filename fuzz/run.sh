#!/bin/sh
# Runs every fuzz target (or the named ones) for SECONDS each, one after
# the other with one job, so that the shared machine keeps a core free.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# Each target's corpus is fuzz/corpus/<target>/ (committed seeds plus what
# runs add; the additions are ignored by git). Real-world samples are read
# in place from ../shared/fixtures next to the checkout when it exists.
# Crashing inputs go to BUILD_DIR/fuzz-artifacts/<target>/, logs to
# BUILD_DIR/fuzz-logs/<target>/. With FUZZ_RUNS set, a target also stops
# after that many executions (whichever limit comes first).
set -eu
build=$(cd "$1" && pwd)
seconds=$2
shift 2
src=$(cd "$(dirname "$0")/.." && pwd)
fixtures="$src/../shared/fixtures"
targets=${*:-"library_reader localized_strings format diskutil_text diskutil_plist smart_log_page88 mountinfo sysfs script_bridge playlist_entries"}

# The scratch folders of the targets that need files live here, not in /tmp.
export TMPDIR="$build/fuzz-tmp"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for t in $targets; do
  case $t in
    library_reader)    max=65536; extra="itunes-library" ;;
    localized_strings) max=16384; extra="fs-bundles" ;;
    format)            max=4096;  extra="" ;;
    diskutil_text)     max=16384; extra="diskutil-text" ;;
    diskutil_plist)    max=16384; extra="diskutil-plist fs-bundles" ;;
    smart_log_page88)  max=512;   extra="" ;;
    mountinfo)         max=16384; extra="" ;;
    sysfs)             max=4096;  extra="" ;;
    script_bridge)     max=65536; extra="" ;;  # the target refuses more than 64 KiB
    playlist_entries)  max=65536; extra="" ;;
    media_header)      max=65536; extra="" ;;
    *) echo "unknown fuzz target: $t" >&2; exit 2 ;;
  esac
  # Crash inputs kept after a fix stay in every run's corpus.
  seeds=""
  [ -d "$src/fuzz/crashes/$t" ] && seeds="$src/fuzz/crashes/$t"
  for d in $extra; do
    [ -d "$fixtures/$d" ] && seeds="$seeds $fixtures/$d"
  done
  mkdir -p "$src/fuzz/corpus/$t" "$build/fuzz-artifacts/$t" "$build/fuzz-logs/$t" "$TMPDIR"
  echo "== fuzz_$t for ${seconds} s"
  # -jobs=1 runs the fuzzer in one child whose output is fuzz-0.log.
  rc=0
  (cd "$build/fuzz-logs/$t" && rm -f fuzz-0.log &&
    "$build/fuzz/fuzz_$t" -jobs=1 -workers=1 -max_total_time="$seconds" -max_len=$max \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} \
      -artifact_prefix="$build/fuzz-artifacts/$t/" \
      "$src/fuzz/corpus/$t" $seeds >/dev/null 2>&1) || rc=$?
  log="$build/fuzz-logs/$t/fuzz-0.log"
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)' "$log" || true
  if [ $rc -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|libFuzzer)|runtime error|^==[0-9]+==' "$log"; then
    echo "fuzz_$t: FINDING, see $log and $build/fuzz-artifacts/$t/" >&2
    grep -E 'ERROR|runtime error|SUMMARY' "$log" | head -5 >&2 || true
    status=1
  fi
  rm -rf "$TMPDIR"
done
exit $status

#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time, starting from its corpus in fuzz/corpus/.
#
#   tools/run-fuzzers.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); TARGETs from: event_stream tcpbuffer meetpoint_reader lobby_reader
# (default: all).
# Builds the fuzz preset with clang (AddressSanitizer and UndefinedBehaviorSanitizer on),
# runs the targets one after the other, and then merges the inputs that reach new code into
# fuzz/corpus/<target>/ (commit them). A crash stops the run: its input is kept as
# build/fuzz/artifacts/<target>-crash-*, and the fuzzer's report is in build/fuzz/<target>.log.
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(event_stream tcpbuffer meetpoint_reader lobby_reader)

./tools/install-missing.sh cmake ninja-build clang

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

out=build/fuzz
mkdir -p "$out/artifacts"
for t in "${targets[@]}"; do
  found="$out/found/$t"
  mkdir -p "$found"
  echo "== fuzzing $t for $seconds s"
  # New inputs go to $found; the committed corpus is read only until the merge below.
  # The event stream's inputs reach past the first 4095-byte receive into the next ones.
  maxlen=4096
  [ "$t" = event_stream ] && maxlen=12288
  if ! "$out/bin/fuzz_$t" -max_total_time="$seconds" -max_len=$maxlen -timeout=20 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" \
      "$found" "fuzz/corpus/$t" >"$out/$t.log" 2>&1; then
    tail -n 40 "$out/$t.log"
    echo "!! $t failed: see $out/$t.log and $out/artifacts/"
    exit 1
  fi
  grep -E "^#[0-9]+ +(DONE|INITED)|stat::number_of_executed_units|stat::peak_rss_mb" "$out/$t.log" || true
  before=$(ls "fuzz/corpus/$t" | wc -l)
  "$out/bin/fuzz_$t" -merge=1 -max_len=$maxlen -close_fd_mask=3 "fuzz/corpus/$t" "$found" \
    >"$out/$t-merge.log" 2>&1
  echo "$t: corpus $before -> $(ls "fuzz/corpus/$t" | wc -l) files"
done

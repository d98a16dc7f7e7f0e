#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time, one after the other, over a
# scratch copy of its seed corpus (fuzz/corpus/<target>/), and prints the
# executions per target. Exits non-zero on any finding; the inputs that
# failed are kept in <build-dir>/fuzz/findings/<target>/.
#
# Usage: fuzz/run.sh <build-dir> <seconds per target>
#   e.g. CXX=clang++-14 cmake -S . -B build-fuzz -DICCDROP_FUZZ=ON -DICCDROP_TESTS=OFF
#        cmake --build build-fuzz -j2 && fuzz/run.sh build-fuzz 60
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <build-dir> <seconds per target>" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)

# Longest input per target: the matcher's regions reach past a whole 8192-byte
# window; files reach past several 4096-byte chunks.
targets=(fuzz_matcher fuzz_file fuzz_object_stream)
declare -A max_len=([fuzz_matcher]=9000 [fuzz_file]=20000 [fuzz_object_stream]=20000)

failed=0
for target in "${targets[@]}"; do
  binary="$build/fuzz/$target"
  if [ ! -x "$binary" ]; then
    echo "$target: not built ($binary)" >&2
    failed=1
    continue
  fi
  work=$(mktemp -d)
  findings="$build/fuzz/findings/$target"
  mkdir -p "$findings"
  cp -R "$here/corpus/$target/." "$work/"
  log="$build/fuzz/$target.log"
  status=0
  "$binary" "$work" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -dict="$here/pdf.dict" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
  rm -rf "$work"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$findings")" ]; then
    echo "$target: FINDING after ${runs:-?} executions (exit $status); inputs in $findings"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -n 20 || true
    failed=1
  else
    echo "$target: ${runs:-?} executions in ${seconds} s, no findings"
  fi
done
exit "$failed"

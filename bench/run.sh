#!/usr/bin/env bash
# Times iccdrop against `cat IN > OUT` on large generated inputs and prints,
# for each input, the median of each, their ratio and iccdrop's peak RSS.
#
#   bench/run.sh [--quick] [--reps N] [--dir DIR] [--only NAME[,NAME...]] [--keep]
#
#   --quick   small inputs (64 MiB realistic, 16 MiB adversarial, 5,000 and
#             20,000 colour spaces) for a check in a few seconds
#   --reps N  timed runs of each command per input, after one warm-up (5)
#   --dir D   scratch folder for inputs and outputs (/tmp/iccdrop-bench);
#             the output is written there too, on the input's file system
#   --only    realistic, digits, digit-run, near-misses, random, scale
#   --keep    keep the generated inputs (they are reused when kept)
# The same settings come from ICCDROP_BENCH_QUICK=1, ICCDROP_BENCH_REPS,
# ICCDROP_BENCH_DIR and ICCDROP_BENCH_BUILD (the build folder,
# build-bench in the source tree by default). ICCDROP_BENCH_BINARY=path
# times another iccdrop binary instead of the one built here (say, an older
# build, for a before-and-after).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
quick=${ICCDROP_BENCH_QUICK:-0}
reps=${ICCDROP_BENCH_REPS:-5}
dir=${ICCDROP_BENCH_DIR:-/tmp/iccdrop-bench}
build=${ICCDROP_BENCH_BUILD:-$source_dir/build-bench}
only=realistic,digits,digit-run,near-misses,random,scale
keep=0
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --reps) reps=$2; shift ;;
    --dir) dir=$2; shift ;;
    --only) only=$2; shift ;;
    --keep) keep=1 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if ((quick)); then
  realistic_bytes=$((64 << 20)) adversarial_bytes=$((16 << 20)) small=5000 large=20000
else
  realistic_bytes=$((1 << 30)) adversarial_bytes=$((256 << 20)) small=50000 large=200000
fi

echo "== building (Release) in $build"
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DICCDROP_BENCH=ON \
  -DICCDROP_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target iccdrop iccdrop_bench_gen >/dev/null
iccdrop=${ICCDROP_BENCH_BINARY:-$build/iccdrop}
gen=$build/bench/iccdrop_bench_gen

mkdir -p "$dir"
out=$dir/out.pdf
messages=$dir/messages.txt
current_input=  # the input being timed, removed on exit unless --keep
cleanup() {
  rm -f "$out" "$messages" "$dir/times.txt"
  if ((!keep)) && [[ -n $current_input ]]; then rm -f "$current_input"; fi
}
trap cleanup EXIT

# Sets CPU to the user + system time of all finished children so far, in
# microseconds. Pure bash: a command substitution or a helper process here
# would hide the children's times or add its own.
to_us() {  # sets US from "1m2.345s"
  local t=$1 m s
  m=${t%%m*} s=${t#*m}
  s=${s%s}
  US=$(((m * 60 + 10#${s%.*}) * 1000000 + 10#${s#*.} * 1000))
}
cpu_now() {
  local -a t
  times >"$dir/times.txt"
  mapfile -t t <"$dir/times.txt"
  read -ra t <<<"${t[1]}"
  to_us "${t[0]}"
  CPU=$US
  to_us "${t[1]}"
  CPU=$((CPU + US))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "== timing $iccdrop"
echo "== machine: $(nproc) cores, $(free -h | awk '/^Mem:/ { print $2 " RAM, " $7 " available" }'),"\
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== medians of $reps runs each, alternating; wall time, then user + system CPU time"
printf '%-14s %6s %8s %8s %6s %8s %8s %6s %9s %7s\n' input size \
  cat_ms icc_ms ratio cat_cpu icc_cpu ratio peak_rss changes

# bench NAME KIND SIZE: generates the input once, then times the two commands.
declare -A iccdrop_median
bench() {
  local name=$1 kind=$2 size=$3
  local in=$dir/in-$kind-$size.pdf
  current_input=$in
  [[ -f $in ]] || "$gen" "$kind" "$in" "$size"
  local cat_times=() icc_times=() cat_cpus=() icc_cpus=() t0 t1 t2 c0 c1 c2 i
  # Warm-up: both commands once, so the input and the output's blocks are hot.
  cat "$in" >"$out"
  "$iccdrop" "$in" "$out" >"$messages"
  for ((i = 0; i < reps; i++)); do
    cpu_now
    c0=$CPU
    t0=${EPOCHREALTIME/[.,]/}
    cat "$in" >"$out"
    t1=${EPOCHREALTIME/[.,]/}
    cpu_now
    c1=$CPU
    "$iccdrop" "$in" "$out" >"$messages"
    t2=${EPOCHREALTIME/[.,]/}
    cpu_now
    c2=$CPU
    cat_times+=($((t1 - t0)))
    icc_times+=($((t2 - t1)))
    cat_cpus+=($((c1 - c0)))
    icc_cpus+=($((c2 - c1)))
  done
  local cat_us icc_us cat_cpu icc_cpu rss changes bytes
  cat_us=$(printf '%s\n' "${cat_times[@]}" | median)
  icc_us=$(printf '%s\n' "${icc_times[@]}" | median)
  cat_cpu=$(printf '%s\n' "${cat_cpus[@]}" | median)
  icc_cpu=$(printf '%s\n' "${icc_cpus[@]}" | median)
  # Peak RSS in a run of its own, so that /usr/bin/time costs no timed run.
  rss=$(/usr/bin/time -f %M "$iccdrop" "$in" "$out" 2>&1 >"$messages" | tail -n1)
  changes=$(grep -c '^Changing ColorSpace' "$messages" || true)
  bytes=$(stat -c %s "$in")
  iccdrop_median[$name]=$icc_us
  awk -v n="$name" -v b="$bytes" -v c="$cat_us" -v d="$icc_us" -v r="$rss" -v k="$changes" \
    -v cc="$cat_cpu" -v dc="$icc_cpu" \
    'BEGIN { printf "%-14s %5.0fM %8.1f %8.1f %5.2fx %8.1f %8.1f %5.2fx %8.1fM %7d\n",
             n, b / 1048576, c / 1000, d / 1000, d / c, cc / 1000, dc / 1000,
             (cc > 0 ? dc / cc : 0), r / 1024, k }'
  ((keep)) || rm -f "$in"
  current_input=
}

for what in ${only//,/ }; do
  case $what in
    realistic) bench realistic realistic "$realistic_bytes" ;;
    digits | digit-run | near-misses | random) bench "$what" "$what" "$adversarial_bytes" ;;
    scale)
      bench "scale-$small" scale "$small"
      bench "scale-$large" scale "$large"
      awk -v a="${iccdrop_median[scale-$small]}" -v b="${iccdrop_median[scale-$large]}" \
        -v s="$small" -v l="$large" \
        'BEGIN { printf "scale: %d spaces take %.2fx the time of %d\n", l, b / a, s }'
      ;;
    *) echo "unknown input $what" >&2; exit 2 ;;
  esac
done

#!/usr/bin/env bash
# Sets up, builds (optimised) and runs every benchmark: the framework's
# Google Benchmark programs and the RPC comparison, then the driver against
# fio's nbd engine and nbdkit (bench/driver_vs_nbd.sh). Each program's full
# output, framework log lines included, goes to a file in the results
# folder; the screen gets its result tables only, without log lines or
# colour codes. Ends with one table of every target: its figure and whether
# it was met, the driver's queue-depth-1 latency against the RPC round trip
# among them.
#   BUILD_DIR    optimised build folder (build-release)
#   JOBS         how many build jobs run at once (ninja's default)
#   RESULTS_DIR  where the outputs go (a new folder under $BUILD_DIR)
#   SKIP_NBD=1   leave out the driver-vs-NBD comparison (its workloads:
#                RWS, QDS and THREADS, see bench/driver_vs_nbd.sh)
#   AIO_BENCH_FILE  bench_aio's O_DIRECT file, run by it and by fio (beside it)
# Extra arguments go to every Google Benchmark program (for example
# --benchmark_filter=Ring).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build-release}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "building (log: $BUILD_DIR/bench-build.log)"
if ! cmake --build "$BUILD_DIR" ${JOBS:+-j "$JOBS"} >"$BUILD_DIR/bench-build.log" 2>&1; then
  tail -n 50 "$BUILD_DIR/bench-build.log"
  exit 1
fi
RESULTS_DIR=${RESULTS_DIR:-$BUILD_DIR/bench-results-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$RESULTS_DIR"
targets=$RESULTS_DIR/targets
: >"$targets"
echo "machine: $(nproc) cores; outputs in $RESULTS_DIR"

# Framework log lines ("20250101 12:00:00.123456Z  1234 INFO ...") and
# libevent's own warnings stay in the files.
log_line='^[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z |^\[(warn|err|msg|debug)\] '
strip_colour() { sed 's/\x1b\[[0-9;]*[A-Za-z]//g'; }

# A line "<what> = 1.23x (target >= 3.0x) met" becomes a target row.
collect_targets() {
  sed -nE 's/^ *(.*[^ ]) *= *([0-9.]+x) *\(target ([<>]=) *([0-9.]+x)\) *(met|MISSED).*/\1|\2 (\3 \4)|\5/p' "$1" |
    sed 's/|MISSED$/|missed/' | tr -s ' ' | sed "s/^/$2: /" >>"$targets"
}

# The programs this build defines: one since merged into another or removed
# may still lie in an older build folder.
programs=$(cmake --build "$BUILD_DIR" --target help | sed -n 's/^\(bench_[A-Za-z0-9_]*\):.*/\1/p')

failed=0
for b in "$BUILD_DIR"/bench/bench_*; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  grep -qx "$name" <<<"$programs" || continue
  echo
  echo "=== $name"
  args=()
  if [ "$name" != bench_rpc_compare ]; then args=(--benchmark_color=false "$@"); fi
  if ! "$b" "${args[@]}" >"$RESULTS_DIR/$name.out" 2>"$RESULTS_DIR/$name.err"; then
    echo "$name FAILED; the end of its error output:"
    tail -n 20 "$RESULTS_DIR/$name.err"
    failed=1
  fi
  grep -Ev "$log_line" "$RESULTS_DIR/$name.out" | strip_colour
  collect_targets "$RESULTS_DIR/$name.out" "${name#bench_}"
done

# The driver at queue depth 1 beside the framework's blocking RPC round trip
# measured in this same run: the driver adds to one block-server call only
# the host's hand-off to its loop and the completion ring.
drv_p50=$(sed -nE 's#^BM_Io/kind:0/qd:1/.* p50_us=([0-9.]+).*#\1#p' "$RESULTS_DIR/bench_driver_io.out" 2>/dev/null | head -n 1)
rpc_p50=$(sed -nE 's#^BM_RpcEcho/outstanding:1/busy_poll:0/.* p50_us=([0-9.]+).*#\1#p' "$RESULTS_DIR/bench_rpc.out" 2>/dev/null | head -n 1)
if [ -n "$drv_p50" ] && [ -n "$rpc_p50" ]; then
  echo; echo "=== driver QD1 vs RPC round trip"
  awk -v d="$drv_p50" -v r="$rpc_p50" 'BEGIN {
    x = d / r
    printf "driver QD1 4k read p50 %.1f us / blocking RPC round trip p50 %.1f us = %.2fx (target <= 1.2x) %s\n",
           d, r, x, x <= 1.2 ? "met" : "MISSED" }' | tee "$RESULTS_DIR/qd1_vs_rpc.out"
  collect_targets "$RESULTS_DIR/qd1_vs_rpc.out" driver_io
fi

echo; echo "=== h2_vs_grpc"; if ! /usr/bin/python3 bench/h2_vs_grpc.py "$BUILD_DIR" >"$RESULTS_DIR/h2_vs_grpc.out" 2>"$RESULTS_DIR/h2_vs_grpc.err"; then echo "h2_vs_grpc FAILED:"; tail -n 20 "$RESULTS_DIR/h2_vs_grpc.err"; failed=1; fi; cat "$RESULTS_DIR/h2_vs_grpc.out"; collect_targets "$RESULTS_DIR/h2_vs_grpc.out" h2_vs_grpc

if [ "${SKIP_NBD:-0}" != 1 ]; then
  echo
  echo "=== driver vs fio+nbdkit"
  if ! TARGETS_FILE="$targets" BUILD_DIR="$BUILD_DIR" bash bench/driver_vs_nbd.sh \
       2>"$RESULTS_DIR/driver_vs_nbd.err" | tee "$RESULTS_DIR/driver_vs_nbd.out"; then
    echo "driver_vs_nbd FAILED:"
    tail -n 20 "$RESULTS_DIR/driver_vs_nbd.err"
    failed=1
  fi
fi

echo
echo "=== targets ($(nproc) cores)"
printf '%-64s %-30s %s\n' target figure result
met=0
missed=0
while IFS='|' read -r what figure result; do
  printf '%-64s %-30s %s\n' "$what" "$figure" "$result"
  if [ "$result" = met ]; then met=$((met + 1)); else missed=$((missed + 1)); fi
done <"$targets"
echo "$met met, $missed missed"
exit "$failed"

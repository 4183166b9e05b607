#!/usr/bin/env bash
# Reliability soak: a verified mixed workload through the driver's C
# interface against the simulated cluster in its own process, with random
# faults the whole time (route moves, block-server stops and restarts,
# volume-manager and block-master fail-overs, answers held back past the RPC
# timeout after a write was stored, closed connections, retryable codes).
# Fails unless nothing was lost, nothing completed twice and every read
# matched what was written.
#   BUILD_DIR     a build with pyxbench, pyxsim and pyxsimctl (build)
#   SOAK_SECONDS  length of the faulty run (60)
#   SOAK_SEED     seed of the random faults (1)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! cmake --build "$BUILD_DIR" ${JOBS:+-j "$JOBS"} --target pyxbench pyxsim pyxsimctl >"$out" 2>&1; then
  cat "$out"
  exit 1
fi
status=0
"$BUILD_DIR/src/pyxbench/pyxbench" --rw randrw --rwmixread 50 --bsrange 512-64k --iodepth 16 \
  --numjobs 2 --size 128m --runtime "${SOAK_SECONDS:-60}" --verify --crc on --faults \
  --fault-seed "${SOAK_SEED:-1}" --rpc-timeout-ms 300 --progress off >"$out" || status=$?
cat "$out"
counts=$(grep -E '^  check:' "$out" || true)
for want in "lost=0" "double_completions=0" "verify_errors=0"; do
  if ! grep -q "$want[^0-9]" <<<"$counts,"; then
    echo "soak: expected $want"
    status=1
  fi
done
if ! grep -qE '^  faults: retcodes=[1-9]' "$out"; then
  echo "soak: no faults were injected"
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "soak FAILED (pyxbench exit status $status)"
  exit 1
fi
echo "soak passed: 0 lost, 0 completed twice, 0 verify errors"

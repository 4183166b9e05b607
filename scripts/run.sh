#!/usr/bin/env bash
# Sets up, builds (optimised) and runs the main job: pyxbench drives the
# driver library through its C interface, as fio drives a disk, against the
# simulated cluster it starts in its own process. A short verified mixed
# workload: random reads and writes of 512 bytes to 64 KiB, aligned and not,
# every read checked against what was written, then everything read back;
# it prints a progress line a second and the summary. Extra arguments go to
# pyxbench (for example --runtime 30 --iodepth 32; --help lists them).
# Only pyxbench's results go to standard output (with --json, one JSON
# object); the set-up, the build and the progress go to standard error.
# The program is then build-release/src/pyxbench/pyxbench, to run again
# directly. BUILD_DIR builds elsewhere (a folder already configured keeps
# its configuration); JOBS limits the build's jobs (JOBS=4). The benchmarks
# are in scripts/bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
BUILD_DIR=${BUILD_DIR:-build-release}
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
echo "building pyxbench and the simulated cluster (log: $BUILD_DIR/run-build.log)" >&2
if ! cmake --build "$BUILD_DIR" ${JOBS:+-j "$JOBS"} --target pyxbench pyxsim pyxsimctl \
  >"$BUILD_DIR/run-build.log" 2>&1; then
  tail -n 50 "$BUILD_DIR/run-build.log" >&2
  exit 1
fi
# Block sizes: the mix of 512 bytes to 64 KiB unless the arguments give
# their own (pyxbench takes --bs or --bsrange, not both).
sizes=(--bsrange 512-64k)
for arg in "$@"; do
  case "$arg" in --bs|--bs=*|--bsrange|--bsrange=*) sizes=() ;; esac
done
exec "$BUILD_DIR/src/pyxbench/pyxbench" --rw randrw --rwmixread 70 "${sizes[@]}" \
  --iodepth 16 --numjobs 2 --size 256m --runtime 12 --verify --crc on "$@"

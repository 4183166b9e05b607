#!/usr/bin/env bash
# Sets up, builds (optimised) and runs the main job: pyxbench drives the
# driver library through its C interface, as fio drives a disk, against the
# simulated cluster it starts in its own process. A short verified mixed
# workload: random reads and writes of 512 bytes to 64 KiB, aligned and not,
# every read checked against what was written, then everything read back;
# it prints a progress line a second and the summary. Extra arguments go to
# pyxbench (for example --runtime 30 --iodepth 32; --help lists them).
# The benchmarks are in scripts/bench.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build-release}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "building pyxbench and the simulated cluster (log: $BUILD_DIR/run-build.log)"
if ! cmake --build "$BUILD_DIR" --target pyxbench pyxsim pyxsimctl >"$BUILD_DIR/run-build.log" 2>&1; then
  tail -n 50 "$BUILD_DIR/run-build.log"
  exit 1
fi
exec "$BUILD_DIR/src/pyxbench/pyxbench" --rw randrw --rwmixread 70 --bsrange 512-64k \
  --iodepth 16 --numjobs 2 --size 256m --runtime 12 --verify --crc on "$@"

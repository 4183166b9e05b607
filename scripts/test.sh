#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   BUILD_DIR       build folder (default: build)
#   TARN_SANITIZE   "" | asan | tsan
#   TARN_DEBUG_INFO full (default) | lines
#   JOBS            build and test jobs at once (default: the number of CPUs)
#   TEST_JOBS       test jobs at once, when they should differ from JOBS (most
#                   tests wait on sockets and timers more than they compute)
#   CTEST_ARGS      extra ctest arguments (e.g. "-L base")
#   CTEST_COSTS     a CTestCostData.txt of an earlier run (another build of the
#                   same tests), so that the slowest tests start first
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}
cmake -S . -B "$BUILD_DIR" -G Ninja -DTARN_SANITIZE="${TARN_SANITIZE:-}" \
  -DTARN_DEBUG_INFO="${TARN_DEBUG_INFO:-full}" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"
cd "$BUILD_DIR"
if [ -n "${CTEST_COSTS:-}" ] && [ -f "$CTEST_COSTS" ]; then
  mkdir -p Testing/Temporary
  cp "$CTEST_COSTS" Testing/Temporary/CTestCostData.txt
fi
# shellcheck disable=SC2086
ctest --output-on-failure -j "${TEST_JOBS:-$JOBS}" ${CTEST_ARGS:-}

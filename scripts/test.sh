#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   BUILD_DIR       build folder (default: build)
#   TARN_SANITIZE   "" | asan | tsan
#   TARN_DEBUG_INFO full (default) | lines
#   CTEST_ARGS      extra ctest arguments (e.g. "-L base")
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DTARN_SANITIZE="${TARN_SANITIZE:-}" \
  -DTARN_DEBUG_INFO="${TARN_DEBUG_INFO:-full}" >/dev/null
cmake --build "$BUILD_DIR"
cd "$BUILD_DIR"
# shellcheck disable=SC2086
ctest --output-on-failure -j "$(nproc)" ${CTEST_ARGS:-}

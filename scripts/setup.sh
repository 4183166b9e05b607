#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# This is the only place that lists packages. A no-op when all are present.
set -euo pipefail

PACKAGES=(
  # toolchain
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # runtime dependencies
  libprotobuf-dev protobuf-compiler libevent-dev libibverbs-dev libaio-dev
  libnuma-dev libgoogle-perftools-dev libnghttp2-dev zlib1g-dev libisal-dev
  # benchmark-only comparisons
  libspdlog-dev libgrpc++-dev protobuf-compiler-grpc
  # benchmark-only: the driver against fio's nbd engine and nbdkit
  fio nbdkit
  # HTTP/2 and gRPC interoperation tests: stock clients
  python3-grpcio python3-protobuf nghttp2-client curl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

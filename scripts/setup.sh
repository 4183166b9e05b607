#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# This is the only place that lists packages. A no-op when all are present.
set -euo pipefail

PACKAGES=(
  # toolchain
  cmake ninja-build g++ clang libclang-rt-14-dev lld pkg-config
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

# Every event loop opens a Linux AIO context of 2048 events, and the kernel
# counts them all against one machine-wide limit (fs.aio-max-nr, often 65536:
# 32 loops). The test suite run in parallel opens far more, so raise the
# limit when it is lower. A loop refused its context still runs, without
# AIO, so where the limit cannot be raised (a container) this only warns.
AIO_MAX_NR_WANTED=1048576
aio_max_nr=$(cat /proc/sys/fs/aio-max-nr 2>/dev/null || echo "$AIO_MAX_NR_WANTED")
if [ "$aio_max_nr" -lt "$AIO_MAX_NR_WANTED" ]; then
  raise_cmd="echo $AIO_MAX_NR_WANTED > /proc/sys/fs/aio-max-nr"
  if [ "$(id -u)" -eq 0 ]; then
    raise=(sh -c "$raise_cmd")
  else
    raise=(sudo -n sh -c "$raise_cmd")
  fi
  if "${raise[@]}" >/dev/null 2>&1; then
    echo "setup: fs.aio-max-nr raised from $aio_max_nr to $AIO_MAX_NR_WANTED"
  else
    echo "setup: cannot raise fs.aio-max-nr ($aio_max_nr); loops beyond it run without AIO" >&2
  fi
fi

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

#!/usr/bin/env bash
# Builds a Release tree and times the NetBIOS provider against smbd in a
# private test bed. Needs root and samba (tools/install-deps).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLOMP_BUILD_BENCH=ON \
  -DLOMP_BUILD_TESTS=OFF -DLOMP_FD_CHECK=OFF >/dev/null
cmake --build build-release --target nbt_bench | tail -1
tests/interop/testbed.sh build-release/bench/nbt_bench "${1:-200}"

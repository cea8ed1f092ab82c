#!/usr/bin/env bash
# Builds a Release lomp and measures it side by side with smbclient -M in a
# private test bed with smbd as the receiver, then times the NetBIOS layer,
# then runs to many recipients at once and one at a time, then sends 500
# messages to lomp --listen and to smbd.
# Needs root, samba and smbclient (installed here when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v smbclient >/dev/null || {
  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends smbclient
}
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLOMP_BUILD_BENCH=ON \
  -DLOMP_BUILD_TESTS=OFF -DLOMP_FD_CHECK=OFF >/dev/null
cmake --build build-release | tail -n 1
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
tests/interop/testbed.sh build-release/bench/lomp_vs_smbclient build-release/lomp \
  build-release/bench/bench_peer build-release/bench/print_line "${1:-30}"
tests/interop/testbed.sh build-release/bench/nbt_bench 200
tests/interop/testbed.sh build-release/bench/many_recipients build-release/lomp "${2:-3}"
tests/interop/testbed.sh build-release/bench/listener_vs_smbd build-release/lomp

#!/usr/bin/env bash
# Throughput over TLS: 256 MiB read and written through the FTP device with explicit TLS
# (control and data protected) beside `curl --ssl-reqd` on the same vsftpd, medians of 3 runs.
#   bench/tls.sh              build/ (built first), 256 MiB
#   VELDRA_BENCH_MIB=1024 VELDRA_BUILD=build-x bench/tls.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build="${VELDRA_BUILD:-build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target device_bench >/dev/null
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $(openssl version)"
exec "$build/bench/device/device_bench" "${VELDRA_BENCH_MIB:-256}" 3 tls

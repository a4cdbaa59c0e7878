#!/usr/bin/env bash
# Builds and runs the drive benchmark (root, /dev/fuse, vsftpd and curl needed).
#   bench/drive/run.sh [size in MiB, default 1024] [build dir, default build-bench]
set -euo pipefail
cd "$(dirname "$0")/../.."
size="${1:-1024}"
build="${2:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target drive_bench >/dev/null
"$build/bench/drive/drive_bench" "$size"

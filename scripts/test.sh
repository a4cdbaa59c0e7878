#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer/UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build-essential cmake g++ libgtest-dev pkg-config libssl-dev openssl \
  fuse3 libfuse3-dev python3 python3-pyftpdlib vsftpd curl lftp util-linux procps \
  rsync git vim-nox zip unzip sqlite3 strace
# pure-ftpd and proftpd conflict with vsftpd as packages: unpacked privately instead.
scripts/ftp-servers.sh

build=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags+=(-DVELDRA_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The Windows build of the same code, cross-compiled and run under wine (skip it with
# VELDRA_SKIP_WINDOWS=1 for a quicker Linux-only run).
if [ "$build" = build ] && [ "${VELDRA_SKIP_WINDOWS:-0}" != 1 ]; then
  scripts/test-windows.sh
fi

cd "$build"
ctest --output-on-failure -j2 --timeout 600

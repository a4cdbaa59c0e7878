#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test.
#   scripts/test.sh                 normal build in build/, then every suite
#   scripts/test.sh --sanitize      AddressSanitizer/UndefinedBehaviorSanitizer build in build-asan/;
#                                   a sanitizer report of any process (test or served drive) fails
#   scripts/test.sh [--sanitize] -R regex | -L label ...   only the ctest entries selected
#                                   (arguments go to ctest; the Windows suites are left out then).
#                                   Labels: unit scripted servers mounts interop faults
#   scripts/test.sh --isolated command ...      runs one command in the private mounts below
#
# ctest runs in a private mount namespace with a private tmpfs on /mnt (the drive letters) and on
# /dev/shm (the named start semaphores): the suites never see or touch the machine's own drives,
# and several runs on one machine keep out of each other's way.
# Whatever a run leaves mounted is reported as a failure.
set -euo pipefail

# The private namespace: a fresh /mnt and /dev/shm, then the command; mounts left under /mnt fail.
isolated() {
  unshare -m --propagation private sh -c '
    mount -t tmpfs -o mode=0755 veldra-mnt /mnt && mount -t tmpfs veldra-shm /dev/shm || exit 1
    before=$(findmnt -rn -o TARGET)
    rc=0
    "$@" || rc=$?
    left=$(findmnt -rn -o TARGET | grep "^/mnt/." | grep -vxF "$before" || true)
    if [ -n "$left" ]; then echo "left mounted: $left"; rc=1; fi
    exit $rc' sh "$@"
}

if [ "${1:-}" = "--isolated" ]; then
  shift
  isolated "$@"
  exit
fi
cd "$(dirname "$0")/.."

scripts/deps.sh build-essential cmake g++ libgtest-dev pkg-config libssl-dev openssl \
  fuse3 libfuse3-dev python3 python3-pyftpdlib vsftpd curl lftp util-linux procps \
  rsync git vim-nox zip unzip sqlite3 strace clang
# pure-ftpd and proftpd conflict with vsftpd as packages: unpacked privately instead.
scripts/ftp-servers.sh

build=build
flags=()
logs=
if [ "${1:-}" = "--sanitize" ]; then
  shift
  build=build-asan
  flags+=(-DVELDRA_SANITIZE=ON)
  # Every instrumented process writes its report to a file of its own here, also the
  # background veldra copies, whose output channel nobody reads once the mount is up.
  logs=$(pwd)/$build/sanitizer-logs
  rm -rf "$logs" && mkdir -p "$logs"
  # handle_abort: an abort (an exception nobody caught in a served drive) is reported too.
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:handle_abort=1:log_path=$logs/asan
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The locks' annotations (which mutex guards what, which a function needs), checked by clang
# over the program; a breach fails the run.
if [ "$build" = build ] && [ $# -eq 0 ]; then
  CXX=clang++ cmake -S . -B build-tsa -DVELDRA_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety" >/dev/null
  cmake --build build-tsa -j"$(nproc)" >build-tsa/build.log 2>&1 || {
    grep -E "error|warning" build-tsa/build.log
    exit 1
  }
  echo "thread-safety analysis: clean"
fi

# The Windows build of the same code, cross-compiled and run under wine (skip it with
# VELDRA_SKIP_WINDOWS=1 for a quicker Linux-only run).
if [ "$build" = build ] && [ $# -eq 0 ] && [ "${VELDRA_SKIP_WINDOWS:-0}" != 1 ]; then
  scripts/test-windows.sh
fi

cd "$build"
rc=0
isolated ctest --output-on-failure -j2 --timeout 600 "$@" || rc=$?
if [ -n "$logs" ] && [ -n "$(ls -A "$logs")" ]; then
  echo "sanitizer reports:"
  for f in "$logs"/*; do echo "== $f"; cat "$f"; done
  rc=1
fi
exit $rc

#!/usr/bin/env bash
# Builds the FTP client's libFuzzer targets with clang++ and runs each for a bounded time.
#   scripts/fuzz-ftp.sh [seconds per target, default 60]
# Corpora start from the samples in fuzz/ftp/corpus; new inputs go to a scratch copy.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${VELDRA_FUZZ_BUILD:-build-fuzz-ftp}
CXX=clang++ cmake -S . -B "$build" -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_ftp_list fuzz_ftp_pasv
for t in list pasv; do
  work="$build/corpus-$t"
  mkdir -p "$work"
  cp -n fuzz/ftp/corpus/$t/* "$work"/ 2>/dev/null || true
  echo "fuzz_ftp_$t: ${seconds}s"
  "$build/fuzz/ftp/fuzz_ftp_$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 "$work"
done

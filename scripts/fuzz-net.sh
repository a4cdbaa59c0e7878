#!/usr/bin/env bash
# Builds the transport's libFuzzer targets with clang++ and runs each for a bounded time.
#   scripts/fuzz-net.sh [seconds per target (default 60)]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${VELDRA_FUZZ_BUILD:-/tmp/veldra-build-fuzz-net}"
CXX=clang++ cmake -S . -B "$build" -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_net_reply fuzz_net_dotted_quad
for target in fuzz_net_reply fuzz_net_dotted_quad; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target ($seconds s)"
  "$build/fuzz/net/$target" "$corpus" -max_total_time="$seconds" -max_len=4096 \
    -timeout=10 -print_final_stats=1
done

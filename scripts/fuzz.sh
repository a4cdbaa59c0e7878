#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*/fuzz_*.cpp) with clang in its own build directory and
# runs each for a bounded time, starting from the samples in fuzz/<layer>/corpus/<name>.
#   scripts/fuzz.sh [seconds per target, default 60]
# Exits non-zero at the first target that crashes, leaks or hangs; the input that did it is
# kept as $build/crash-<target>-* (replay: $build/fuzz/<layer>/<target> <file>).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${VELDRA_FUZZ_BUILD:-build-fuzz}
scripts/deps.sh clang libclang-rt-14-dev cmake make
targets=()
for source in fuzz/*/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
CXX=clang++ cmake -S . -B "$build" -DVELDRA_FUZZ=ON -DVELDRA_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"
for target in "${targets[@]}"; do
  layer=${target#fuzz_}
  layer=${layer%%_*}
  name=${target#fuzz_"$layer"_}
  work="$build/corpus/$target"
  mkdir -p "$work"
  if [ -d "fuzz/$layer/corpus/$name" ]; then cp -n "fuzz/$layer/corpus/$name"/* "$work"/; fi
  echo "== $target (${seconds} s)"
  "$build/fuzz/$layer/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/crash-$target-" "$work"
done
echo "fuzz.sh: every target ran ${seconds} s without a failure"

#!/usr/bin/env bash
# Fuzzes the message XML readers with libFuzzer for a bounded time.
#   FUZZ_SECONDS  how long to run (default 60)
#   FUZZ_BUILD    build directory (default build-fuzz)
#   FUZZ_JOBS     parallel compile jobs (default 2)
# The corpus starts from seeds of every message class, written fresh on each
# run, and keeps what libFuzzer finds in $FUZZ_BUILD/msg-corpus between runs.
# Crashes land in $FUZZ_BUILD/msg-artifacts; the script fails when one is found.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build-fuzz}
JOBS=${FUZZ_JOBS:-2}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is needed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWZ_FUZZ=ON -DWZ_SANITIZE=address,undefined \
  -DWZ_BUILD_TESTS=OFF -DWZ_BUILD_BENCH=OFF -DWZ_BUILD_APPS=OFF -DWZ_BUILD_PLUGINS=OFF >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target msg_parse_fuzz msg_fuzz_seeds

seeds="$BUILD/msg-seeds"
corpus="$BUILD/msg-corpus"
artifacts="$BUILD/msg-artifacts"
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"
"$BUILD/bin/msg_fuzz_seeds" "$seeds"

echo "fuzz: msg_parse_fuzz for ${FUZZ_SECONDS} s"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$BUILD/bin/msg_parse_fuzz" -max_total_time="$FUZZ_SECONDS" -max_len=65536 -timeout=10 \
  -dict=hostlib/msg/fuzz/msg.dict -artifact_prefix="$artifacts/" -print_final_stats=1 \
  "$corpus" "$seeds"

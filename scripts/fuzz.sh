#!/usr/bin/env bash
# Fuzzes what comes off the wire with libFuzzer, each target for a bounded
# time: the message XML readers (msg_parse_fuzz), the frame decoder
# (frame_fuzz) and the option strings of requests (args_fuzz).
#   FUZZ_SECONDS  seconds per target (default 60; make test runs 30)
#   FUZZ_TARGETS  which targets (default: all three)
#   FUZZ_BUILD    build directory (default build-fuzz)
#   FUZZ_JOBS     parallel compile jobs (default 2)
# The corpora start from seeds written fresh on each run and keep what
# libFuzzer finds in $FUZZ_BUILD/<target>-corpus between runs. Crashes land in
# $FUZZ_BUILD/<target>-artifacts; the script fails when one is found.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
TARGETS=${FUZZ_TARGETS:-"msg_parse_fuzz frame_fuzz args_fuzz"}
BUILD=${FUZZ_BUILD:-build-fuzz}
JOBS=${FUZZ_JOBS:-2}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is needed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWZ_FUZZ=ON -DWZ_SANITIZE=address,undefined \
  -DWZ_BUILD_TESTS=OFF -DWZ_BUILD_BENCH=OFF -DWZ_BUILD_APPS=OFF -DWZ_BUILD_PLUGINS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" -j"$JOBS" --target fuzz_seeds $TARGETS

seeds="$BUILD/seeds"
rm -rf "$seeds"
mkdir -p "$seeds"
"$BUILD/bin/fuzz_seeds" "$seeds"

for target in $TARGETS; do
  case "$target" in
    msg_parse_fuzz) seed_dir=$seeds/msg; extra=(-dict=fuzz/msg.dict -max_len=65536) ;;
    frame_fuzz) seed_dir=$seeds/frame; extra=(-max_len=16384) ;;
    args_fuzz) seed_dir=$seeds/args; extra=(-max_len=4096) ;;
    *) echo "fuzz: unknown target $target" >&2; exit 2 ;;
  esac
  corpus="$BUILD/$target-corpus"
  artifacts="$BUILD/$target-artifacts"
  mkdir -p "$corpus" "$artifacts"
  echo "fuzz: $target for ${FUZZ_SECONDS} s"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$BUILD/bin/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 "${extra[@]}" \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" "$seed_dir" 2>&1 |
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE|==[0-9]+==|SUMMARY|.*(crash|leak|timeout|deadly))" || true
  if [ -n "$(ls -A "$artifacts" 2>/dev/null)" ]; then
    echo "fuzz: $target found a failure; see $artifacts" >&2
    exit 1
  fi
done
echo "fuzz: no failure"

#!/usr/bin/env bash
# The build of `make run` and `make run-cluster`: what is missing installed,
# then configured and built as `make build` does, with one line while it
# runs and one when it is done. The output goes to a log under the build
# directory and is shown (its end) only when a step fails.
#
#   scripts/quiet-build.sh BUILD_DIR JOBS     (CMAKE_ARGS from the environment)
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=$1
JOBS=$2
mkdir -p "$BUILD"
LOG=$BUILD/quiet-build.log
began=$(date +%s%N)
echo "building... (output in $LOG)" >&2
# shellcheck disable=SC2086  # CMAKE_ARGS is a list of words, as in the Makefile
if {
  bash scripts/install-deps.sh &&
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} &&
    cmake --build "$BUILD" -j"$JOBS"
} >"$LOG" 2>&1; then
  ms=$((($(date +%s%N) - began) / 1000000))
  printf 'built in %d.%d s\n' $((ms / 1000)) $((ms % 1000 / 100)) >&2
else
  status=$?
  tail -n 60 "$LOG" >&2
  echo "the build failed (exit $status); the whole output: $LOG" >&2
  exit "$status"
fi

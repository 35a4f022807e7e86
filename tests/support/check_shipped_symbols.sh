#!/usr/bin/env bash
# Fails when a shipped binary exports a test double or a test-only hook.
#
# Test doubles and helpers live in the test-support libraries
# (tests/support/<area>/), which nothing shipped links: no symbol those
# libraries define may be exported by a shipped file. Hooks that shipped code
# keeps for its tests are named ...ForTest; none may be exported either,
# except the file-system seam, which stays in the shipped library on purpose
# (the shipped file code reads it, and the tests that fail a write or a
# rename replace it).
#
# usage: check_shipped_symbols.sh --support ARCHIVE... -- FILE...
set -euo pipefail

support=()
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --support)
      shift
      while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        support+=("$1")
        shift
      done
      ;;
    --) shift ;;
    *)
      files+=("$1")
      shift
      ;;
  esac
done

hooks='ForTest'
allowed='^RnFileSystem::SetForTest\(IRnFileSystem\*\)$'

status=0
doubles=$(mktemp)
trap 'rm -f "$doubles"' EXIT
# What the support libraries define for good (not the weak copies of inline
# and template code that any file may hold).
for a in "${support[@]}"; do
  if [ ! -f "$a" ]; then
    echo "missing: $a" >&2
    status=1
    continue
  fi
  nm -C --defined-only --extern-only "$a" | awk '$2 ~ /^[TDBR]$/ { $1 = ""; $2 = ""; print substr($0, 3) }'
done | sort -u >"$doubles"
if [ ! -s "$doubles" ]; then
  echo "no symbols read from the support libraries" >&2
  exit 1
fi

for f in "${files[@]}"; do
  if [ ! -f "$f" ]; then
    echo "missing: $f" >&2
    status=1
    continue
  fi
  # Defined dynamic symbols only: what the file exports, not what it uses.
  exported=$(nm -DC --defined-only "$f" | cut -d' ' -f3- | sort -u)
  found=$( (comm -12 "$doubles" <(echo "$exported") || true; echo "$exported" | grep -E "$hooks" | grep -Ev "$allowed" ||
    true) | sort -u)
  if [ -n "$found" ]; then
    echo "$f exports test symbols:" >&2
    echo "$found" | sed 's/^/  /' >&2
    status=1
  fi
done
exit $status

#!/usr/bin/env bash
# Fails when a shipped binary exports a test class or a test-only hook: test
# doubles belong in the test-support libraries, which nothing shipped links.
#
# usage: check_shipped_symbols.sh FILE...
set -euo pipefail

pattern='Test|Memory(Log)?Writer|ForTest'
# The file-system seam stays in the shipped library on purpose: the shipped
# file code reads it, and the tests that fail a write or a rename replace it.
allowed='^RnFileSystem::SetForTest\(IRnFileSystem\*\)$'

status=0
for f in "$@"; do
  if [ ! -f "$f" ]; then
    echo "missing: $f" >&2
    status=1
    continue
  fi
  # Defined dynamic symbols only: what the file exports, not what it uses.
  found=$(nm -DC --defined-only "$f" | cut -d' ' -f3- | grep -E "$pattern" | grep -Ev "$allowed" || true)
  if [ -n "$found" ]; then
    echo "$f exports test symbols:" >&2
    echo "$found" | sed 's/^/  /' >&2
    status=1
  fi
done
exit $status

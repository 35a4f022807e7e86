#!/usr/bin/env bash
# Fails when a C++ source of the project differs from what .clang-format
# makes of it; prints the files to run `clang-format -i` on.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=()
while IFS= read -r f; do
  if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done < <(git ls-files '*.cc' '*.h')
if [ ${#bad[@]} -ne 0 ]; then
  echo "check-format: these files are not formatted (clang-format -i FILE):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: $(git ls-files '*.cc' '*.h' | wc -l) files formatted"

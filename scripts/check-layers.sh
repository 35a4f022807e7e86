#!/usr/bin/env bash
# Fails when a folder includes a header of a folder it may not include.
#
# The floors are the table of docs/development.md ("Floors"): each folder
# with the folders it may include ("*": any; "hostlib/*": any folder of
# hostlib), and the known exceptions below it. The check:
#   1. the table itself has no cycle (the exceptions left out);
#   2. every #include "folder/..." of every .cc and .h of the tree (tests,
#      *_test.cc, excepted: a test may reach anything) names the file's own
#      folder, a folder the table allows, or a known exception.
# A folder is the first component of a path, the first two under hostlib/,
# plugins/, apps/ and tests/.
#
# usage: check-layers.sh [TOP]   (TOP: the checkout, by default this one)
set -euo pipefail
# The table's "*" is a word, never a file name pattern.
set -f

top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
doc=$top/docs/development.md
cd "$top"

declare -A allowed=()  # folder -> " a b c "
declare -A exception=() # "from to" -> 1

# The rows of the table whose header is "| Folder | May include |", and of
# the one whose header is "| Folder | Includes |" (the exceptions).
table=""
while IFS= read -r line; do
  case "$line" in
    "| Folder | May include |"*) table=floors; continue ;;
    "| Folder | Includes |"*) table=exceptions; continue ;;
    "|---"*) continue ;;
    "|"*) ;;
    *) table=""; continue ;;
  esac
  [ -n "$table" ] || continue
  folder=$(echo "$line" | cut -d'|' -f2 | tr -d '` ')
  targets=$(echo "$line" | cut -d'|' -f3 | tr -d '`' | tr ',' ' ')
  if [ "$table" = floors ]; then
    allowed[$folder]=" $(echo $targets | sed 's/—//g') "
  else
    for t in $targets; do exception["$folder $t"]=1; done
  fi
done <"$doc"

if [ ${#allowed[@]} -eq 0 ]; then
  echo "check-layers: no floors table in $doc" >&2
  exit 1
fi

folder_of() {
  local path=$1 first rest
  first=${path%%/*}
  case "$first" in
    hostlib | plugins | apps | tests)
      rest=${path#*/}
      echo "$first/${rest%%/*}"
      ;;
    *) echo "$first" ;;
  esac
}

# Whether folder from may include folder to.
may_include() {
  local from=$1 to=$2 entry
  [ "$from" = "$to" ] && return 0
  [ -n "${exception["$from $to"]:-}" ] && return 0
  for entry in ${allowed[$from]:-}; do
    case "$entry" in
      "*") return 0 ;;
      */\*) [ "${to%%/*}" = "${entry%%/*}" ] && return 0 ;;
      *) [ "$entry" = "$to" ] && return 0 ;;
    esac
  done
  return 1
}

status=0

# 1. No cycle in the table: a depth-first walk over the named folders.
declare -A state=()  # folder -> visiting | done
walk() {
  local f=$1 t
  state[$f]=visiting
  for t in ${allowed[$f]:-}; do
    case "$t" in *\**) continue ;; esac
    [ -n "${allowed[$t]+x}" ] || continue
    if [ "${state[$t]:-}" = visiting ]; then
      echo "check-layers: the floors table has a cycle through $f and $t" >&2
      status=1
    elif [ -z "${state[$t]:-}" ]; then
      walk "$t"
    fi
  done
  state[$f]=done
}
for f in "${!allowed[@]}"; do
  [ -z "${state[$f]:-}" ] && walk "$f"
done

# 2. Every include of every file.
while IFS= read -r file; do
  case "$file" in *_test.cc) continue ;; esac
  from=$(folder_of "$file")
  if [ -z "${allowed[$from]+x}" ]; then
    echo "check-layers: $file: its folder $from has no row in the floors table ($doc)" >&2
    status=1
    continue
  fi
  while IFS= read -r inc; do
    [[ "$inc" == */* ]] || continue
    to=$(folder_of "$inc")
    # Only folders of this tree: a header of a system library is none of them.
    [ -d "$to" ] || continue
    if ! may_include "$from" "$to"; then
      echo "check-layers: $file includes $inc: $from may not include $to" >&2
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files '*.cc' '*.h')

[ $status -eq 0 ] && echo "check-layers: every folder includes only the floors under it"
exit $status

#!/bin/bash
# Fails when a folder includes a folder above it, or when two folders on one
# floor include each other (one way between them is allowed). The floors
# come from README.md's layout table (rows "| N | `folder/` | ..."), so the
# table and the code cannot drift apart. Also fails when a folder holding
# sources has no floor (it would go unchecked) or the table cannot be read.
#   include_floors.sh SOURCE_DIR
set -u
root=${1:?source directory}
cd "$root" || exit 2

declare -A floor
while IFS='|' read -r _ n dir _; do
  n=${n// /}
  dir=${dir// /}
  dir=${dir//\`/}
  dir=${dir%/}
  [[ $n =~ ^[0-9]+$ && -n $dir ]] && floor[$dir]=$n
done < README.md
if ((${#floor[@]} < 2)); then
  echo "no floors found in README.md's layout table"
  exit 2
fi

status=0
declare -A sideways  # "from to" -> first place, for folders on one floor
# Every top-level folder with C or C++ sources must have a floor (tools,
# tests and benchmarks too: a stand-in that reaches up into a tool is as
# much a cycle as any other).
for d in */; do
  d=${d%/}
  case $d in build* | examples | setup | cmake) continue ;; esac
  if [[ -z ${floor[$d]:-} ]] && find "$d" -name '*.[ch]' -o -name '*.[ch]pp' | grep -q .; then
    echo "$d/ holds sources but has no floor in README.md"
    status=1
  fi
done

for d in "${!floor[@]}"; do
  [[ -d $d ]] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=$(sed -E 's/.*#include "([A-Za-z0-9_]+)\/.*/\1/' <<<"$rest")
    [[ $target == "$d" ]] && continue
    t=${floor[$target]:-}
    [[ -z $t ]] && continue  # not one of our folders
    if ((t > floor[$d])); then
      echo "$file:$line includes $target/ (floor $t) from $d/ (floor ${floor[$d]})"
      status=1
    elif ((t == floor[$d])) && [[ -z ${sideways["$d $target"]:-} ]]; then
      sideways["$d $target"]="$file:$line"
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z0-9_]+/' "$d" \
             --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp')
done
for pair in "${!sideways[@]}"; do
  read -r a b <<<"$pair"
  if [[ $a < $b && -n ${sideways["$b $a"]:-} ]]; then
    echo "$a/ and $b/ include each other: ${sideways[$pair]} and ${sideways["$b $a"]}"
    status=1
  fi
done
((status == 0)) && echo "no folder includes one above it, none two ways on one floor (${#floor[@]} folders)"
exit $status
